#!/usr/bin/env python3
"""Symbolizes a zorvel crash report.

Reads the exception reports that ExcFilter, ExcFilterI and seh_translator
write into an events file, picks one (the last, or the last of a given
process and thread), and prints every frame of its call stack as function,
source file and line. Each frame's module path and section:offset become an
address inside the module file found under the given directories (section's
VirtualAddress + offset + ImageBase, from the PE headers), which addr2line
turns into source places using the binary's DWARF debug information.

Reports of 32-bit processes print addresses as 8 hexadecimal digits, those
of 64-bit processes as 16; the images are PE32 or PE32+ to match, and each
is read with the binutils of its machine.

    tools/symbolize.py build/mingw/bin/events.log -d build/mingw/bin
    tools/symbolize.py events.log --pid 268 --tid 288 -d bin -d plugins
    tools/symbolize.py events.log --list
"""

import argparse
import os
import re
import struct
import subprocess
import sys

# "T: 08 Dec 26 (Tue) 17:42:38.776 (pid:tid:MARK): " — the mark is optional.
# The type is one character, any but LF: devent writes '0' + level, so a
# level outside 0-9 gives '/', ':' or any other byte, and a NUL none. The ids
# are 32-bit numbers printed with %d: a longer run of digits is no header.
HEADER = re.compile(
    r"^(?P<type>.?): (?P<stamp>\d\d \w{3} \d\d \(\w{3}\) [\d:.]+) "
    r"\((?P<pid>-?\d{1,10}):(?P<tid>-?\d{1,10})(?::(?P<mark>[^)]*))?\): "
    r"(?P<text>.*)$")
# The text after the header starts with the thread's banner, which may be
# anything, so the report's own lines are searched for, not matched whole.
TITLE = re.compile(r"\*{14} (?P<title>.*) Exception report: \*{60}$")
# Addresses and exception parameters: 8 digits in a report of a 32-bit
# process, 16 in one of a 64-bit process.
WORD = r"[0-9A-F]{16}|[0-9A-F]{8}"
EXCEPTION = re.compile(
    r"Exception 0x(?P<code>[0-9A-F]{8}) occured at address "
    r"0x(?P<address>%s)\t\((?P<section>[0-9A-F]+):"
    r"(?P<offset>[0-9A-F]{8}) (?P<module>[^\t]*)\), params: ?"
    r"(?P<params>.*)$" % WORD)
FRAME = re.compile(
    r"0x(?P<pc>%s)\t\t0x(?P<frame>%s)\t\t"
    r"(?P<section>[0-9A-F]{4}):(?P<offset>[0-9A-F]{8})\t\t(?P<module>.*)$" %
    (WORD, WORD))
PARAMETER = re.compile(r"0x([0-9A-F]+)")
CLOSING_RULE = re.compile(r"\*{122}$")


class Report:
    def __init__(self, pid, tid, stamp, title):
        self.pid, self.tid, self.stamp, self.title = pid, tid, stamp, title
        self.exception = None  # the EXCEPTION match
        self.frames = []  # FRAME matches, in stack order
        self.complete = False  # the closing rule was seen
        self.digits = None  # address width: 8 or 16, from its first line
        self.left_out = 0  # lines whose addresses have another width


def address_digits(match):
    """The width of every address in an EXCEPTION or FRAME line, or None
    when they differ."""
    if match.re is FRAME:
        words = [match.group("pc"), match.group("frame")]
    else:
        words = [match.group("address")]
        words += PARAMETER.findall(match.group("params"))
    widths = {len(w) for w in words}
    return widths.pop() if len(widths) == 1 else None


def log_lines(data):
    """The lines of an events file: 8-bit text written with CR LF, where
    only LF ends a line (latin-1 maps every byte)."""
    lines = data.decode("latin-1").split("\n")
    if lines and not lines[-1]:
        lines.pop()
    return [l[:-1] if l.endswith("\r") else l for l in lines]


def read_reports(lines):
    """Returns the reports in the lines, in the order their titles appear.

    Reports of several threads may interleave line by line; each line
    carries its process and thread ids, which keep them apart."""
    reports = []
    open_reports = {}  # (pid, tid) -> the report being read
    for line in lines:
        header = HEADER.match(line)
        if not header or header.group("type") != "F":
            continue
        key = (int(header.group("pid")), int(header.group("tid")))
        text = header.group("text")
        title = TITLE.search(text)
        if title:
            report = Report(key[0], key[1], header.group("stamp"),
                            title.group("title"))
            reports.append(report)
            open_reports[key] = report
            continue
        report = open_reports.get(key)
        if not report:
            continue
        if CLOSING_RULE.search(text):
            report.complete = True
            del open_reports[key]
            continue
        match = EXCEPTION.search(text) if report.exception is None else None
        match = match or FRAME.search(text)
        if not match:
            continue
        digits = address_digits(match)
        if digits is None or report.digits not in (None, digits):
            report.left_out += 1
            continue
        report.digits = digits
        if match.re is EXCEPTION:
            report.exception = match
        else:
            report.frames.append(match)
    return reports


def pick_report(reports, pid=None, tid=None):
    chosen = [r for r in reports
              if (pid is None or r.pid == pid) and (tid is None or r.tid == tid)]
    return chosen[-1] if chosen else None


def windows_base_name(path):
    return re.split(r"[\\/:]", path)[-1]


def find_module(module_path, directories):
    """The local file with the module's base name, compared without regard
    to case as Windows compares names; None when there is none."""
    wanted = windows_base_name(module_path).lower()
    if not wanted:
        return None
    for directory in directories:
        try:
            names = os.listdir(directory)
        except OSError:
            continue
        for name in names:
            candidate = os.path.join(directory, name)
            if name.lower() == wanted and os.path.isfile(candidate):
                return candidate
    return None


# Machine -> optional header magic, address digits in its reports, and the
# prefix of its binutils.
MACHINES = {
    0x14C: (0x10B, 8, "i686-w64-mingw32-"),  # x86, PE32
    0x8664: (0x20B, 16, "x86_64-w64-mingw32-"),  # x64, PE32+
}


class PeImage:
    """Machine, ImageBase and the section table of a PE32 or PE32+ file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read(4096)
        if data[:2] != b"MZ":
            raise ValueError("%s is not a PE image" % path)
        nt = struct.unpack_from("<I", data, 0x3C)[0]
        if data[nt:nt + 4] != b"PE\0\0":
            raise ValueError("%s has no PE header" % path)
        machine, sections = struct.unpack_from("<HH", data, nt + 4)
        optional_size, = struct.unpack_from("<H", data, nt + 20)
        magic, = struct.unpack_from("<H", data, nt + 24)
        if machine not in MACHINES:
            raise ValueError("%s is not an x86 or x64 image" % path)
        expected_magic, self.digits, self.tools = MACHINES[machine]
        if magic != expected_magic:
            raise ValueError("%s has optional header magic 0x%X for machine "
                             "0x%X" % (path, magic, machine))
        if magic == 0x10B:
            self.image_base, = struct.unpack_from("<I", data, nt + 24 + 28)
        else:
            self.image_base, = struct.unpack_from("<Q", data, nt + 24 + 24)
        table = nt + 24 + optional_size
        if table + 40 * sections > len(data):
            with open(path, "rb") as f:
                data = f.read(table + 40 * sections)
        # Section numbers in a report count from 1 in table order.
        self.virtual_addresses = [
            struct.unpack_from("<I", data, table + 40 * i + 12)[0]
            for i in range(sections)
        ]

    def address(self, section, offset):
        """The address inside the image of section:offset, or None."""
        if not 1 <= section <= len(self.virtual_addresses):
            return None
        return self.image_base + self.virtual_addresses[section - 1] + offset


def demangle(names, cxxfilt):
    """C++ names demangled with c++filt -n. addr2line -C cannot be used: for
    a target whose symbols carry a leading underscore it strips one from the
    DWARF linkage name "_Z..." and then fails to demangle it."""
    mangled = sorted({n for n in names if n.startswith("_Z")})
    if not mangled:
        return {}
    try:
        output = subprocess.run([cxxfilt, "-n"], input="\n".join(mangled) + "\n",
                                check=True, capture_output=True,
                                text=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        return {}
    return dict(zip(mangled, output)) if len(output) == len(mangled) else {}


def symbolize(binary, addresses, addr2line, cxxfilt):
    """Maps each address to a list of (function, place) pairs, innermost
    first: more than one when the code was inlined."""
    if not addresses:
        return {}
    command = [addr2line, "-a", "-f", "-i", "-e", binary]
    command += ["0x%x" % a for a in addresses]
    output = subprocess.run(command, check=True, capture_output=True,
                            text=True).stdout.splitlines()
    result = {}
    current = None
    i = 0
    while i < len(output):
        # -a prints each address first; a function name never starts "0x".
        if output[i].startswith("0x"):
            current = int(output[i], 16)
            result[current] = []
            i += 1
            continue
        function = output[i]
        place = output[i + 1] if i + 1 < len(output) else "??:0"
        result[current].append((function, place))
        i += 2
    names = demangle([f for pairs in result.values() for f, _ in pairs],
                     cxxfilt)
    return {address: [(names.get(f, f), place) for f, place in pairs]
            for address, pairs in result.items()}


def lookup_address(frame_index, match):
    """The address to symbolize for a frame. A frame after the first holds a
    return address, which points after the call: step back into it."""
    offset = int(match.group("offset"), 16)
    return offset if frame_index == 0 else offset - 1


def resolve_frames(report, directories, addr2line=None, cxxfilt=None):
    """One entry per frame: (frame line match, binary or None, [(function,
    place)] or a reason text). Without addr2line, each image is read with
    the one of its machine; without cxxfilt, with the one beside it."""
    images = {}
    wanted = {}  # binary -> addresses
    plans = []
    for index, frame in enumerate(report.frames):
        module = frame.group("module")
        section = int(frame.group("section"), 16)
        if not module:
            plans.append((frame, None, None, "not in a module"))
            continue
        binary = find_module(module, directories)
        if not binary:
            plans.append((frame, None, None, "module not found locally"))
            continue
        if section == 0:
            plans.append((frame, binary, None, "not in a section"))
            continue
        if binary not in images:
            try:
                images[binary] = PeImage(binary)
            except (OSError, ValueError, struct.error) as e:
                images[binary] = str(e)
        image = images[binary]
        if isinstance(image, str):
            plans.append((frame, binary, None, image))
            continue
        if report.digits and image.digits != report.digits:
            plans.append((frame, binary, None,
                          "a %d-bit image, the report is of a %d-bit process"
                          % (image.digits * 4, report.digits * 4)))
            continue
        address = image.address(section, lookup_address(index, frame))
        if address is None:
            plans.append((frame, binary, None, "no section %d" % section))
            continue
        wanted.setdefault(binary, []).append(address)
        plans.append((frame, binary, address, None))

    symbols = {}
    for binary, addresses in wanted.items():
        tool = addr2line or images[binary].tools + "addr2line"
        symbols[binary] = symbolize(
            binary, sorted(set(addresses)), tool,
            cxxfilt or re.sub(r"addr2line$", "c++filt", tool))
    resolved = []
    for frame, binary, address, reason in plans:
        if address is not None:
            places = symbols[binary].get(address) or [("??", "??:0")]
            resolved.append((frame, binary, places))
        else:
            resolved.append((frame, binary, reason))
    return resolved


def print_report(report, resolved, out):
    out.write("Report of process %d, thread %d, %s: %s\n" %
              (report.pid, report.tid, report.stamp, report.title))
    if report.exception:
        e = report.exception
        params = e.group("params").strip()
        out.write("Exception 0x%s at 0x%s (%s:%s %s)%s\n" %
                  (e.group("code"), e.group("address"), e.group("section"),
                   e.group("offset"), e.group("module") or "no module",
                   ", params: " + params if params else ""))
    if not report.complete:
        out.write("(the report is incomplete: no closing rule)\n")
    if report.left_out:
        out.write("(%d line%s left out: address widths other than the "
                  "report's)\n" % (report.left_out,
                                   "" if report.left_out == 1 else "s"))
    for index, (frame, binary, what) in enumerate(resolved):
        module = windows_base_name(frame.group("module")) or "?"
        out.write("#%-2d 0x%s %s %s:%s\n" %
                  (index, frame.group("pc"), module, frame.group("section"),
                   frame.group("offset")))
        if isinstance(what, str):
            out.write("      ?? (%s)\n" % what)
            continue
        for depth, (function, place) in enumerate(what):
            prefix = "      " if depth == 0 else "      inlined into "
            out.write("%s%s at %s\n" % (prefix, function, place))


def list_reports(reports, out):
    for r in reports:
        code = r.exception.group("code") if r.exception else "?"
        out.write("process %d thread %d  %s  0x%s  %s%s%s\n" %
                  (r.pid, r.tid, r.stamp, code, r.title,
                   "" if r.complete else " (incomplete)",
                   " (mixed address widths)" if r.left_out else ""))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Print the frames of a zorvel crash report as function, "
        "source file and line.")
    parser.add_argument("log", help="events file holding the report")
    parser.add_argument("-d", "--dir", action="append", default=[],
                        help="directory holding the process's binaries "
                        "(repeatable; default: the log file's directory)")
    parser.add_argument("--pid", type=int, help="process id of the report")
    parser.add_argument("--tid", type=int, help="thread id of the report")
    parser.add_argument("--list", action="store_true",
                        help="list the reports in the file and stop")
    parser.add_argument("--addr2line",
                        help="addr2line program (default: "
                        "i686-w64-mingw32-addr2line for a 32-bit image, "
                        "x86_64-w64-mingw32-addr2line for a 64-bit one)")
    parser.add_argument("--cxxfilt",
                        help="c++filt program (default: the one beside "
                        "addr2line)")
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    try:
        with open(args.log, "rb") as f:
            data = f.read()
    except OSError as e:
        sys.stderr.write("symbolize: cannot read %s: %s\n" %
                         (args.log, e.strerror or e))
        return 1
    reports = read_reports(log_lines(data))
    if args.list:
        list_reports(reports, sys.stdout)
        return 0
    report = pick_report(reports, args.pid, args.tid)
    if not report:
        sys.stderr.write("symbolize: no matching crash report in %s\n" %
                         args.log)
        return 1
    directories = args.dir or [os.path.dirname(os.path.abspath(args.log))]
    try:
        resolved = resolve_frames(report, directories, args.addr2line,
                                  args.cxxfilt)
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write("symbolize: addr2line failed: %s\n" % e)
        return 1
    print_report(report, resolved, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
