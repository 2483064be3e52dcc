"""Reads zorvel.dll's export table by name from the file, with objdump, and
checks it against the library's names for its architecture. Needs no
execution of the DLL, so it also runs where the DLL's architecture cannot.

usage: check_exports.py OBJDUMP DLL i686|x64
"""
import re
import subprocess
import sys

COMMON = {
    "event", "devent", "warning", "error", "oserrori", "socerrori",
    "SetDebugLevel", "getsmark", "util_set_mark", "setbanner", "place",
    "seterror", "kxraise", "kxraisec", "kxraiseos", "kxraisesoc",
    "util_init", "seh_translator", "util_set_dump",
}
STDCALL = {
    "i686": {"_show_message@4", "_ExcFilter@4", "_ExcFilterI@4"},
    "x64": {"show_message", "ExcFilter", "ExcFilterI"},
}
FORMAT = {"i686": "pei-i386", "x64": "pei-x86-64"}


def export_names(text):
    names = []
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return names
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def main():
    objdump, dll, arch = sys.argv[1:4]
    text = subprocess.run([objdump, "-p", dll], check=True,
                          capture_output=True, text=True).stdout
    failures = []
    if "file format " + FORMAT[arch] not in text:
        failures.append("not a %s image" % FORMAT[arch])
    names = export_names(text)
    if len(names) != len(set(names)):
        failures.append("a name is exported twice: %s" % names)
    if names != sorted(names):
        failures.append("name table not sorted: GetProcAddress would miss")
    want = COMMON | STDCALL[arch]
    if set(names) != want:
        failures.append("missing %s, unexpected %s" %
                        (sorted(want - set(names)), sorted(set(names) - want)))
    for failure in failures:
        print("check_exports: " + failure)
    if not failures:
        print("check_exports: %d names, as expected for %s" % (len(names), arch))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
