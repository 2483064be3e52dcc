"""Runs dump_host.exe with minidumps turned on and checks what it leaves:
the crash report ends with a line that names the dump, and the dump is one a
debugger opens at the fault: the MDMP header, an exception stream of the
faulting thread, a thread list that holds it, a module list with the program
and zorvel.dll, the data segments for the kind that asks for them; winedbg,
reading the file, shows the exception, the thread and a backtrace through
the two faulting functions. The dump and its directory grant access to the
process's user, SYSTEM and Administrators only.

usage: check_dump.py CASE HOST_EXE EMULATOR...
CASE: small, data, heap (the heap is held during the fault), stack (a
stack overflow), stderr (events.log cannot be attached: the report and
its last line go to standard error) or writer (the writer faults on a first
thread's dump, and a new writer writes the next).
"""
import os
import re
import shutil
import struct
import subprocess
import sys

DUMP_DIR = "dumps"
ACCESS_VIOLATION = 0xC0000005
STACK_OVERFLOW = 0xC00000FD
THREAD_LIST, MODULE_LIST, MEMORY_LIST, EXCEPTION = 3, 4, 5, 6
MARKER = b"zorvel-dump-data-marker"
MINIDUMP_WITH_DATA_SEGS = 1
CLOSING_RULE = "*" * 122
LOCAL_SYSTEM, ADMINISTRATORS = "S-1-5-18", "S-1-5-32-544"
ACCESS_ALLOWED = "0"

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


# ------------------------------------------------------------ the report

def f_lines(events, pid, tid):
    """The text of the F lines of one thread, in order."""
    head = re.compile(r"^F: .{28} \((\d+):(\d+):[^)]*\): (.*)$")
    lines = []
    for line in events.splitlines():
        m = head.match(line)
        if m and int(m.group(1)) == pid and int(m.group(2)) == tid:
            lines.append(m.group(3))
    return lines


def line_after_report(lines):
    """The one line after the closing rule, or None."""
    if not expect(CLOSING_RULE in lines, "no report closing rule: %s" % lines):
        return None
    after = lines[lines.index(CLOSING_RULE) + 1:]
    if not expect(len(after) == 1, "not one line after the report: %s" % after):
        return None
    return after[0]


def dump_named_by_report(lines):
    """The file the line after the closing rule names, or None."""
    after = line_after_report(lines)
    if after is None:
        return None
    m = re.match(r"^Minidump written: (.+)$", after)
    expect(m, "no dump written: %r" % after)
    return m.group(1) if m else None


# ------------------------------------------------------------ the dump

class Dump:
    def __init__(self, data):
        self.data = data
        signature, version, count, rva, _, _, self.flags = struct.unpack_from(
            "<4sIIIIIQ", data)
        self.version = version
        self.valid = signature == b"MDMP" and version & 0xFFFF == 0xA793
        self.streams = {}
        for i in range(count if self.valid else 0):
            kind, size, at = struct.unpack_from("<III", data, rva + 12 * i)
            self.streams[kind] = (at, size)

    def exception(self):
        at, _ = self.streams[EXCEPTION]
        tid, _, code, _, _, address = struct.unpack_from("<IIIIQQ",
                                                         self.data, at)
        return tid, code, address

    def thread_ids(self):
        at, _ = self.streams[THREAD_LIST]
        (count,) = struct.unpack_from("<I", self.data, at)
        return [struct.unpack_from("<I", self.data, at + 4 + 48 * i)[0]
                for i in range(count)]

    def module_names(self):
        at, _ = self.streams[MODULE_LIST]
        (count,) = struct.unpack_from("<I", self.data, at)
        names = []
        for i in range(count):
            (name_rva,) = struct.unpack_from("<I", self.data,
                                             at + 4 + 108 * i + 20)
            (length,) = struct.unpack_from("<I", self.data, name_rva)
            raw = self.data[name_rva + 4:name_rva + 4 + length]
            names.append(raw.decode("utf-16-le"))
        return names

    def memory_at(self, address, size):
        """size bytes at address from the memory list, or None."""
        if MEMORY_LIST not in self.streams:
            return None
        at, _ = self.streams[MEMORY_LIST]
        (count,) = struct.unpack_from("<I", self.data, at)
        for i in range(count):
            start, length, rva = struct.unpack_from("<QII", self.data,
                                                    at + 4 + 16 * i)
            if start <= address and address + size <= start + length:
                offset = rva + address - start
                return self.data[offset:offset + size]
        return None


def check_structure(dump, tid, code, kind, marker):
    if not expect(dump.valid, "no MDMP header"):
        return
    for stream in (THREAD_LIST, MODULE_LIST, EXCEPTION):
        if not expect(stream in dump.streams, "no stream %d" % stream):
            return
    dump_tid, dump_code, _ = dump.exception()
    expect(dump_tid == tid, "exception stream of thread %d, not %d"
           % (dump_tid, tid))
    expect(dump_code == code, "exception 0x%08X, not 0x%08X"
           % (dump_code, code))
    expect(tid in dump.thread_ids(), "thread %d not in the thread list" % tid)
    bases = [re.split(r"[\\/]", name)[-1].lower()
             for name in dump.module_names()]
    for module in ("dump_host.exe", "zorvel.dll"):
        expect(module in bases, "%s not in the module list %s"
               % (module, bases))
    # The header's flags are the dump type asked for. The program's data
    # segment holds the marker, and only that kind has it, where dbghelp
    # writes data segments; Wine 8's does not (native dbghelp sets the
    # version's high word, Wine's leaves it 0).
    with_data = dump.flags & MINIDUMP_WITH_DATA_SEGS
    expect(bool(with_data) == (kind == "data"),
           "dump type 0x%X for kind %s" % (dump.flags, kind))
    found = dump.memory_at(marker, len(MARKER))
    if kind == "small":
        expect(found is None, "a small dump holds the data segment")
    elif dump.version >> 16:
        expect(found == MARKER, "the data segment is not in the dump")


def check_writer_fault(out, events, pid):
    """The first thread's dump line says the writer faulted; the writer's
    own report says the fault was its own."""
    m = re.search(r"first=(\d+) exit=(\d+)", out)
    if not expect(m, "the host printed no first thread"):
        return
    expect(m.group(2) == "1", "the first thread ended with %s" % m.group(2))
    after = line_after_report(f_lines(events, pid, int(m.group(1))))
    expect(after == "Minidump not written: the dump writer faulted "
           "(exception 0x%08X)" % ACCESS_VIOLATION,
           "the first thread's dump line is %r" % after)
    own = "Minidump not written: the fault is the dump writer's own"
    expect(("): " + own) in events, "no report of the writer's own fault")


# ------------------------------------------------------------ access

def check_access(out, exe_dir):
    """The host printed each object's DACL: protected from inherited
    entries, with one allowing entry each for the user, SYSTEM and
    Administrators. Wine keeps no DACL: it turns it into the Unix mode and
    makes one up from that (SYSTEM, the owner, Everyone for the bits of
    others), so there no entry may be Everyone's, and others get no bits."""
    m = re.search(r"^wine=(\d)\s+user=(\S+)", out, re.M)
    if not expect(m, "the host printed no user"):
        return
    wine, user = m.group(1) == "1", m.group(2)
    allowed = set("%s:%s" % (ACCESS_ALLOWED, sid)
                  for sid in (user, LOCAL_SYSTEM, ADMINISTRATORS))
    own = "%s:%s" % (ACCESS_ALLOWED, user)
    for what in ("dir", "file"):
        m = re.search(r"^acl %s protected=(\d)(.*)$" % what, out, re.M)
        if not expect(m, "the host printed no access list of the %s" % what):
            continue
        entries = set(m.group(2).split())
        if wine:
            ok = entries <= allowed and own in entries
        else:
            ok = m.group(1) == "1" and entries == allowed
        expect(ok, "the %s's access list is %s" % (what, m.group(0).strip()))
    directory = os.path.join(exe_dir, DUMP_DIR)
    if wine and expect(os.path.isdir(directory), "no directory " + directory):
        for path in [directory] + [os.path.join(directory, name)
                                   for name in os.listdir(directory)]:
            mode = os.stat(path).st_mode
            expect(mode & 0o007 == 0, "others may open %s (mode %o)"
                   % (path, mode & 0o777))


# ------------------------------------------------------------ winedbg

def check_winedbg(emulator, dump_path, tid, case, exe_dir):
    """winedbg reads the dump: the exception, the faulting thread's
    backtrace asked by its id, and the modules."""
    wine_path = "Z:" + dump_path.replace("/", "\\")
    commands = "info exception\nbt 0x%x\ninfo share\nquit\n" % tid
    done = subprocess.run(emulator + ["winedbg", wine_path],
                          input=commands.encode(), cwd=exe_dir,
                          capture_output=True, timeout=120)
    out = done.stdout.decode("latin-1")
    # What each command printed, after its prompt.
    answers = out.split("Wine-dbg>")[1:]
    if not expect(len(answers) >= 3, "winedbg answered:\n" + out):
        return
    exception, backtrace, modules = answers[:3]
    what = "stack overflow" if case == "stack" else "page fault on write access"
    expect(("Unhandled exception: " + what) in exception,
           "winedbg's exception:\n" + exception)
    frames = [line for line in backtrace.splitlines()
              if re.match(r"^(=>| ) *\d+ 0x", line)]
    expect(frames and frames[0].startswith("=>0"),
           "winedbg has no backtrace of thread 0x%x:\n%s" % (tid, backtrace))
    if case != "stack":
        expect(len(frames) >= 2 and "dump_crash_inner" in frames[0] and
               "dump_crash_outer" in frames[1],
               "winedbg's backtrace is not dump_crash_inner, "
               "dump_crash_outer:\n" + backtrace)
    for module in ("dump_host", "zorvel"):
        expect(re.search(r"^PE\s.*\s%s\s*$" % module, modules, re.M),
               "winedbg's modules lack %s:\n%s" % (module, modules))


# ------------------------------------------------------------ main

def main():
    case, exe = sys.argv[1:3]
    emulator = sys.argv[3:]
    exe_dir = os.path.dirname(os.path.abspath(exe))
    shutil.rmtree(os.path.join(exe_dir, DUMP_DIR), ignore_errors=True)
    events_path = os.path.join(exe_dir, "events.log")
    start = os.path.getsize(events_path) if os.path.exists(events_path) else 0
    kind = "data" if case == "data" else "small"
    mode = case if case in ("heap", "stack", "stderr", "writer") else "plain"
    done = subprocess.run(emulator + [exe, DUMP_DIR, kind, mode], cwd=exe_dir,
                          capture_output=True, timeout=120)
    out = done.stdout.decode("latin-1")
    m = re.search(r"pid=(\d+) tid=(\d+) exit=(\d+) marker=([0-9A-Fa-f]+) "
                  r"report_blocked=(\d)", out)
    if not m:
        print("check_dump: the host said %r (exit status %d), stderr %r"
              % (out, done.returncode, done.stderr[-2000:]))
        return 1
    pid, tid, exit_code = int(m.group(1)), int(m.group(2)), int(m.group(3))
    marker = int(m.group(4), 16)
    expect(exit_code == 1, "the faulting thread ended with %d" % exit_code)
    expect(m.group(5) == "0", "the report waited for the heap")

    check_access(out, exe_dir)

    if case == "stderr":
        events = done.stderr.decode("latin-1")
    else:
        with open(events_path, "rb") as f:
            f.seek(start)
            events = f.read().decode("latin-1")
    if case == "writer":
        check_writer_fault(out, events, pid)
    lines = f_lines(events, pid, tid)
    code = STACK_OVERFLOW if case == "stack" else ACCESS_VIOLATION
    expect(lines and lines[1].startswith("Exception 0x%08X " % code),
           "not the report of exception 0x%08X: %s" % (code, lines[:2]))
    named = dump_named_by_report(lines)
    if named:
        name = re.split(r"[\\/]", named)[-1]
        expect(re.match(r"^dump_host-%d-%d-\d{8}-\d{6}\.dmp$" % (pid, tid),
                        name), "dump name %s" % name)
        path = os.path.join(exe_dir, DUMP_DIR, name)
        if expect(os.path.exists(path), "no file %s" % path):
            with open(path, "rb") as f:
                dump = Dump(f.read())
            print("check_dump: %s, %d bytes" % (name, len(dump.data)))
            check_structure(dump, tid, code, kind, marker)
            if case in ("small", "stack"):
                check_winedbg(emulator, path, tid, case, exe_dir)

    for failure in failures:
        print("check_dump: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
