"""Runs abi_scenario.exe of a MinGW-w64 build and of an MSVC-ABI build, each
with its own zorvel.dll, and checks that both leave the same log files and
standard streams once stamps, process and thread ids, addresses, the
program's directory and the C runtime's name (msvcrt.dll, ucrtbase.dll) are
masked.

usage: compare_abi.py WORK_DIR MINGW_EXE_DIR MSVC_EXE_DIR EMULATOR...
Exits 77 (skipped) when the MinGW build has no scenario program.
"""
import difflib
import os
import re
import shutil
import subprocess
import sys

EXE = "abi_scenario.exe"
MASKS = [
    (re.compile(r"\d\d [A-Z][a-z]{2} \d\d \([A-Z][a-z]{2}\) "
                r"\d\d:\d\d:\d\d\.\d{3}"), "STAMP"),
    (re.compile(r"\((\d+):(\d+)(?=[:)])"), "(PID:TID"),
    (re.compile(r"0x[0-9A-F]{8}(?:[0-9A-F]{8})?"), "ADDR"),
    (re.compile(r"\b[0-9A-F]{2,4}:[0-9A-F]{8}\b"), "LOGICAL"),
    # The C runtime each build links: _beginthreadex's thread start is a
    # frame of the crash report's call stack.
    (re.compile(r"\\(msvcrt|ucrtbase)\.dll\b", re.I), r"\\CRT.dll"),
]


def run(source, target, emulator):
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target, ignore=shutil.ignore_patterns("*.log*",
                                                                  "*.ini"))
    done = subprocess.run(emulator + [os.path.join(target, EXE)], cwd=target,
                          capture_output=True, timeout=60)
    files = {"stdout": done.stdout, "stderr": done.stderr,
             "exit status": str(done.returncode).encode()}
    for name in sorted(os.listdir(target)):
        if ".log" in name:
            with open(os.path.join(target, name), "rb") as f:
                files[name] = f.read()
    return files


def masked(data, directory):
    text = data.decode("latin-1")
    # The program's directory as Wine shows it: Z: and backslashes.
    wine_dir = "Z:" + directory.replace("/", "\\")
    text = text.replace(wine_dir, "DIR")
    for pattern, mask in MASKS:
        text = pattern.sub(mask, text)
    return text.splitlines()


def main():
    work, mingw_dir, msvc_dir = sys.argv[1:4]
    emulator = sys.argv[4:]
    if not os.path.exists(os.path.join(mingw_dir, EXE)):
        print("compare_abi: no %s in %s: build the MinGW preset of this "
              "architecture first" % (EXE, mingw_dir))
        return 77
    results = {}
    for kind, source in (("mingw", mingw_dir), ("msvc", msvc_dir)):
        target = os.path.join(os.path.abspath(work), "run")
        results[kind] = {name: masked(data, target) for name, data in
                         run(source, target, emulator).items()}
    failures = 0
    names = sorted(set(results["mingw"]) | set(results["msvc"]))
    for name in names:
        a = results["mingw"].get(name)
        b = results["msvc"].get(name)
        if a is None or b is None:
            print("compare_abi: %s written by %s only" %
                  (name, "mingw" if b is None else "msvc"))
            failures += 1
        elif a != b:
            failures += 1
            print("compare_abi: %s differs:" % name)
            sys.stdout.writelines(line + "\n" for line in difflib.unified_diff(
                a, b, "mingw/" + name, "msvc/" + name, lineterm=""))
    print("compare_abi: %d files and streams compared, %d differ" %
          (len(names), failures))
    # A scenario that left nothing proves nothing.
    if not {"events.log", "scen-events.log.1", "scen-size.log.2"} <= set(names):
        print("compare_abi: the crash report or a rotation is missing")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
