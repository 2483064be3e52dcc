"""Reads the import tables of MSVC-ABI images with objdump and checks that
each runtime symbol comes from the DLL that Windows has it in, as a Visual
Studio link takes it: the C++ exception runtime from vcruntime140.dll, the C
runtime from ucrtbase.dll or the api-ms-win-crt sets, and nothing from a
MinGW runtime or msvcrt.dll. Needs no execution of the images.

usage: check_imports.py OBJDUMP LIBRARY [HOST...]
The library throws, so it must import the throw itself from vcruntime140.
"""
import re
import subprocess
import sys

# What vcruntime140.dll (and vcruntime140_1.dll on x64) exports and ucrtbase
# does not, for the names a compiler references on its own.
VCRUNTIME = {
    "_CxxThrowException", "__CxxFrameHandler", "__CxxFrameHandler2",
    "__CxxFrameHandler3", "__CxxFrameHandler4", "__std_terminate",
    "__C_specific_handler", "_except_handler2", "_except_handler3",
    "_except_handler4_common", "__std_exception_copy",
    "__std_exception_destroy", "__std_type_info_compare",
    "__std_type_info_name", "__std_type_info_destroy_list",
    "__RTDynamicCast", "__RTtypeid", "__RTCastToVoid", "_purecall",
    "__current_exception", "__current_exception_context",
    "__uncaught_exception", "__uncaught_exceptions", "_set_se_translator",
    "__intrinsic_setjmp", "__intrinsic_setjmpex", "longjmp", "_local_unwind",
    "memchr", "memcmp", "memcpy", "memmove", "memset", "strchr", "strrchr",
    "strstr", "wcschr", "wcsrchr", "wcsstr",
}
# The C++ exception runtime proper: an image of this library always has it.
EH_CORE = {"_CxxThrowException", "__std_terminate"}
VCRUNTIME_DLLS = {"vcruntime140.dll", "vcruntime140_1.dll"}
SYSTEM_DLLS = {"kernel32.dll", "ntdll.dll", "user32.dll", "ws2_32.dll",
               "advapi32.dll", "version.dll", "zorvel.dll"}


def imports(text):
    """{dll: [names]} from objdump -p's import tables."""
    table = {}
    dll = None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            table.setdefault(dll, [])
            continue
        m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if dll and m:
            table[dll].append(m.group(1))
        elif not line.strip():
            continue
    return table


def is_crt(dll):
    return dll == "ucrtbase.dll" or dll.startswith("api-ms-win-crt-")


def check(image, table, throws):
    failures = []
    for dll, names in sorted(table.items()):
        if dll in VCRUNTIME_DLLS:
            stray = sorted(set(names) - VCRUNTIME)
            if stray:
                failures.append("%s: not in vcruntime140: %s" % (dll, stray))
        elif is_crt(dll):
            wrong = sorted(set(names) & VCRUNTIME)
            if wrong:
                failures.append("%s: takes from %s what Windows has only in "
                                "vcruntime140.dll: %s" % (image, dll, wrong))
        elif dll not in SYSTEM_DLLS:
            failures.append("%s: imports %s (%s)" % (image, dll,
                                                     ", ".join(names[:5])))
    from_vc = set()
    for dll in VCRUNTIME_DLLS:
        from_vc |= set(table.get(dll, []))
    missing = sorted(EH_CORE - from_vc)
    if throws and missing:
        failures.append("%s: no %s from vcruntime140.dll" % (image, missing))
    if not any(is_crt(dll) for dll in table):
        failures.append("%s: imports no C runtime" % image)
    return failures


def main():
    objdump = sys.argv[1]
    failures = []
    for i, image in enumerate(sys.argv[2:]):
        text = subprocess.run([objdump, "-p", image], check=True,
                              capture_output=True, text=True).stdout
        table = imports(text)
        failures += check(image, table, i == 0)
        print("check_imports: %s: %s" % (image, ", ".join(
            "%s (%d)" % (dll, len(names)) for dll, names in sorted(table.items()))))
    for failure in failures:
        print("check_imports: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
