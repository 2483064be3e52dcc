#!/usr/bin/env python3
"""How the symbolizer reads reports and images.

Usage: test_symbolize.py SYMBOLIZER PE_BINARY OBJDUMP
"""

import contextlib
import importlib.util
import io
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import traceback
import unittest

SYMBOLIZER, BINARY, OBJDUMP = sys.argv[1:4]
del sys.argv[1:4]

module_found = importlib.util.spec_from_file_location("symbolize", SYMBOLIZER)
symbolize = importlib.util.module_from_spec(module_found)
module_found.loader.exec_module(symbolize)

STAMP = "08 Dec 26 (Tue) 17:42:38.776"


def line(pid, tid, text, kind="F", mark="ECTCH", banner=""):
    return "%s: %s (%d:%d:%s): %s%s" % (kind, STAMP, pid, tid, mark, banner,
                                       text)


def report_lines(pid, tid, title, frames, banner="", code="C0000005",
                 close=True, digits=8):
    """The lines of one report; frames are (pc, section, offset, module).
    Addresses have 8 digits as from a 32-bit process, or 16."""
    first = frames[0]
    text = [
        "*" * 14 + " %s Exception report: " % title + "*" * 60,
        "Exception 0x%s occured at address 0x%0*X\t(%02X:%08X %s), "
        "params:  0x%0*X, 0x%0*X" % (code, digits, first[0], first[1],
                                     first[2], first[3], digits, 1, digits, 0),
        "-" * 13 + " Call stack (begin) " + "-" * 85,
        "Address\t\tFrame\t\t\tLogical addr\t\tModule",
    ]
    for i, (pc, section, offset, module) in enumerate(frames):
        text.append("0x%0*X\t\t0x%0*X\t\t%04X:%08X\t\t%s" %
                    (digits, pc, digits, 0x12FF00 + 0x10 * i, section, offset,
                     module))
    text.append("-" * 14 + " Call stack (end) " + "-" * 86)
    if close:
        text.append("*" * 122)
    return [line(pid, tid, t, banner=banner) for t in text]


APP = r"C:\srv\bin\app.exe"


class ReadReports(unittest.TestCase):
    def test_interleaved_reports_of_two_threads_stay_apart(self):
        a = report_lines(10, 11, "Unhandled exception filter.",
                         [(0x401234, 1, 0x234, APP), (0x401890, 1, 0x890, APP)],
                         banner="[worker 1] ")
        b = report_lines(10, 12, "SEH exception catched.",
                         [(0x402000, 1, 0x1000, APP)], code="E0000001")
        mixed = [x for pair in zip(a, b) for x in pair] + a[len(b):]
        mixed.insert(3, line(10, 11, "an event in between", kind="V"))
        reports = symbolize.read_reports(mixed)
        self.assertEqual([(r.pid, r.tid) for r in reports],
                         [(10, 11), (10, 12)])
        first, second = reports
        self.assertEqual([f.group("pc") for f in first.frames],
                         ["00401234", "00401890"])
        self.assertEqual([f.group("pc") for f in second.frames], ["00402000"])
        self.assertEqual(second.exception.group("code"), "E0000001")
        self.assertEqual(first.frames[0].group("module"), APP)
        self.assertTrue(first.complete and second.complete)

    def test_pick_takes_the_last_matching_report(self):
        lines = (report_lines(10, 11, "A", [(0x401000, 1, 0, APP)]) +
                 report_lines(20, 21, "B", [(0x401000, 1, 0, APP)]) +
                 report_lines(10, 13, "C", [(0x401000, 1, 0, APP)]))
        reports = symbolize.read_reports(lines)
        cases = [((None, None), "C"), ((10, None), "C"), ((20, None), "B"),
                 ((10, 11), "A"), ((None, 21), "B")]
        for (pid, tid), title in cases:
            self.assertEqual(
                symbolize.pick_report(reports, pid, tid).title, title)
        self.assertIsNone(symbolize.pick_report(reports, 30, None))

    def test_a_report_without_closing_rule_is_incomplete(self):
        lines = report_lines(10, 11, "A", [(0x401000, 1, 0, APP)], close=False)
        self.assertFalse(symbolize.read_reports(lines)[0].complete)

    def test_module_with_parenthesis_and_empty_module(self):
        odd = r"C:\Program Files (x86)\srv\app.exe"
        lines = report_lines(1, 2, "A", [(0x401000, 1, 0, odd),
                                         (0x00ABCDEF, 0, 0, "")])
        r = symbolize.read_reports(lines)[0]
        self.assertEqual(r.exception.group("module"), odd)
        self.assertEqual([f.group("module") for f in r.frames], [odd, ""])

    def test_addresses_of_either_width(self):
        cases = [
            (8, 0x401553, ["00401553", "00401572"],
             "0x00000001, 0x00000000"),
            (16, 0x140001553, ["0000000140001553", "0000000140001572"],
             "0x0000000000000001, 0x0000000000000000"),
        ]
        for digits, pc, pcs, params in cases:
            lines = report_lines(1, 2, "A", [(pc, 1, 0x553, APP),
                                             (pc + 0x1F, 1, 0x572, APP)],
                                 digits=digits)
            r = symbolize.read_reports(lines)[0]
            self.assertEqual(r.digits, digits)
            self.assertEqual(r.exception.group("address"), pcs[0])
            self.assertEqual(r.exception.group("params").strip(), params)
            self.assertEqual([f.group("pc") for f in r.frames], pcs)
            self.assertEqual(r.left_out, 0)

    def test_lines_of_another_width_are_left_out_and_said(self):
        lines = report_lines(1, 2, "A", [(0x140001553, 1, 0x553, APP),
                                         (0x140001572, 1, 0x572, APP)],
                             digits=16)
        lines[5:5] = [line(1, 2, t) for t in [
            "0x00401600\t\t0x0012FF20\t\t0001:00000600\t\t" + APP,
            "0x0000000140001600\t\t0x0012FF20\t\t0001:00000600\t\t" + APP,
        ]]
        r = symbolize.read_reports(lines)[0]
        self.assertEqual([f.group("pc") for f in r.frames],
                         ["0000000140001553", "0000000140001572"])
        self.assertEqual(r.left_out, 2)
        # An exception line whose parameters are narrower than its address.
        bad = report_lines(1, 2, "B", [(0x140001553, 1, 0x553, APP)],
                           digits=16)
        bad[1] = bad[1].replace("0x0000000000000001", "0x00000001")
        r = symbolize.read_reports(bad)[0]
        self.assertIsNone(r.exception)
        self.assertEqual((r.left_out, len(r.frames)), (1, 1))

    def test_every_line_type_the_library_writes(self):
        # devent writes '0' + level: -1 gives '/', 10 ':', -16 a space, 85
        # the byte 0x85, -48 a NUL and so no type, -35 a CR.
        for kind in ["V", "F", "0", "9", "/", ":", " ", "\x85", "", "\r"]:
            header = symbolize.HEADER.match(line(10, 11, "text", kind=kind))
            self.assertIsNotNone(header, repr(kind))
            self.assertEqual((header.group("type"), header.group("pid"),
                              header.group("text")), (kind, "10", "text"))
        # Only LF ends a line: bytes such as 0x85 or 0x0C, in a type or a
        # banner, do not split one.
        lines = [line(10, 11, "level 85", kind="\x85")]
        lines += report_lines(10, 11, "A", [(0x401000, 1, 0, APP)],
                              banner="[\x0c\x85] ")
        data = "".join(l + "\r\n" for l in lines).encode("latin-1")
        parsed = symbolize.log_lines(data)
        self.assertEqual(parsed, lines)
        r = symbolize.read_reports(parsed)[0]
        self.assertEqual((r.exception.group("address"), len(r.frames),
                          r.complete), ("00401000", 1, True))


def write_image(path, machine, magic, image_base, virtual_addresses):
    """A PE file holding only headers: DOS stub, COFF header, optional
    header and section table."""
    optional = bytearray(224 if magic == 0x10B else 240)
    struct.pack_into("<H", optional, 0, magic)
    if magic == 0x10B:
        # BaseOfData, then ImageBase, then SectionAlignment.
        struct.pack_into("<III", optional, 24, 0x2000, image_base, 0x1000)
    else:
        struct.pack_into("<QI", optional, 24, image_base, 0x1000)
    data = bytearray(0x40)
    data[:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x40)
    data += b"PE\0\0" + struct.pack("<HHIIIHH", machine,
                                     len(virtual_addresses), 0, 0, 0,
                                     len(optional), 0x0102)
    data += optional
    for i, va in enumerate(virtual_addresses):
        data += struct.pack("<8sIIIIIIHHI", b".s%d" % i, 0x800, va, 0x200,
                            0x400 + 0x200 * i, 0, 0, 0, 0, 0x60000020)
    with open(path, "wb") as f:
        f.write(data)


class Addresses(unittest.TestCase):
    def test_return_addresses_step_back_into_the_call(self):
        lines = report_lines(1, 2, "A", [(0x401234, 1, 0x234, APP),
                                         (0x401890, 1, 0x890, APP)])
        frames = symbolize.read_reports(lines)[0].frames
        self.assertEqual(symbolize.lookup_address(0, frames[0]), 0x234)
        self.assertEqual(symbolize.lookup_address(1, frames[1]), 0x88F)

    def test_sections_agree_with_objdump(self):
        image = symbolize.PeImage(BINARY)
        listing = subprocess.run([OBJDUMP, "-h", BINARY], check=True,
                                 capture_output=True, text=True).stdout
        file_format = re.search(r"file format (\S+)", listing).group(1)
        self.assertEqual((image.digits, image.tools), {
            "pei-i386": (8, "i686-w64-mingw32-"),
            "pei-x86-64": (16, "x86_64-w64-mingw32-"),
        }[file_format])
        vmas = [int(m.group(1), 16) for m in re.finditer(
            r"^\s*\d+ \S+\s+[0-9a-f]+\s+([0-9a-f]+)\s", listing, re.M)]
        self.assertGreater(len(vmas), 1)
        self.assertEqual(len(vmas), len(image.virtual_addresses))
        for number, vma in enumerate(vmas, start=1):
            self.assertEqual(image.address(number, 0x10), vma + 0x10)
        self.assertIsNone(image.address(0, 0))
        self.assertIsNone(image.address(len(vmas) + 1, 0))

    def test_pe32_and_pe32_plus_headers(self):
        with tempfile.TemporaryDirectory() as d:
            cases = [
                (0x14C, 0x10B, 0x00400000, 8, 0x00403010),
                (0x8664, 0x20B, 0x140000000, 16, 0x140003010),
            ]
            for machine, magic, base, digits, address in cases:
                path = os.path.join(d, "x%X.exe" % machine)
                write_image(path, machine, magic, base, [0x1000, 0x3000])
                image = symbolize.PeImage(path)
                self.assertEqual((image.image_base, image.digits),
                                 (base, digits))
                self.assertEqual(image.address(2, 0x10), address)
            for machine, magic in [(0x14C, 0x20B), (0x8664, 0x10B),
                                   (0xAA64, 0x20B)]:
                path = os.path.join(d, "bad.exe")
                write_image(path, machine, magic, 0x400000, [0x1000])
                with self.assertRaises(ValueError):
                    symbolize.PeImage(path)

    def test_report_printed_with_its_width_checked_against_the_image(self):
        with tempfile.TemporaryDirectory() as d:
            write_image(os.path.join(d, "app.exe"), 0x14C, 0x10B, 0x400000,
                        [0x1000])
            lines = report_lines(
                5, 6, "Unhandled exception filter.",
                [(0x140001553, 1, 0x553, APP),
                 (0x7FF6ABCD0000, 1, 0x10, r"C:\windows\system32\ntdll.dll"),
                 (0x0123456789AB, 0, 0, "")], digits=16)
            lines.insert(6, line(5, 6, "0x00401600\t\t0x0012FF20\t\t"
                                       "0001:00000600\t\t" + APP))
            report = symbolize.read_reports(lines)[0]
            out = io.StringIO()
            symbolize.print_report(
                report, symbolize.resolve_frames(report, [d]), out)
        self.assertEqual(out.getvalue(), (
            "Report of process 5, thread 6, %s: Unhandled exception filter.\n"
            "Exception 0xC0000005 at 0x0000000140001553 (01:00000553 "
            "C:\\srv\\bin\\app.exe), params: 0x0000000000000001, "
            "0x0000000000000000\n"
            "(1 line left out: address widths other than the report's)\n"
            "#0  0x0000000140001553 app.exe 0001:00000553\n"
            "      ?? (a 32-bit image, the report is of a 64-bit process)\n"
            "#1  0x00007FF6ABCD0000 ntdll.dll 0001:00000010\n"
            "      ?? (module not found locally)\n"
            "#2  0x00000123456789AB ? 0000:00000000\n"
            "      ?? (not in a module)\n") % STAMP)

    def test_module_found_by_base_name_without_regard_to_case(self):
        with tempfile.TemporaryDirectory() as empty, \
                tempfile.TemporaryDirectory() as full:
            open(os.path.join(full, "Zorvel.DLL"), "wb").close()
            found = symbolize.find_module(r"Z:\work\bin\zorvel.dll",
                                          [empty, full])
            self.assertEqual(found, os.path.join(full, "Zorvel.DLL"))
            self.assertIsNone(symbolize.find_module(r"Z:\bin\other.dll",
                                                    [empty, full]))
            self.assertIsNone(symbolize.find_module("", [full]))


def damaged(rng, lines):
    """One damage of a report's lines: a line cut short, an address of
    another width, bytes of garbage, a line lost or doubled, a number too
    long, or the file cut anywhere. Returns the file's bytes."""
    lines = list(lines)
    i = rng.randrange(len(lines))
    kind = rng.randrange(8)
    if kind == 0:
        lines[i] = lines[i][:rng.randrange(len(lines[i]) + 1)]
    elif kind == 1:
        words = list(re.finditer(r"0x[0-9A-F]+|[0-9A-F]{4}:[0-9A-F]{8}",
                                 lines[i]))
        if words:
            w = rng.choice(words)
            width = rng.choice([0, 1, 7, 9, 15, 17, 40])
            lines[i] = (lines[i][:w.start()] + "0x" + "F" * width +
                        lines[i][w.end():])
    elif kind == 2:
        at = rng.randrange(len(lines[i]) + 1)
        junk = "".join(chr(rng.randrange(256))
                       for _ in range(rng.randrange(1, 40)))
        lines[i] = lines[i][:at] + junk + lines[i][at:]
    elif kind == 3:
        del lines[i]
    elif kind == 4:
        lines.insert(i, lines[i])
    elif kind == 5:
        lines[i] = re.sub(r"\((\d+):", "(" + "9" * rng.choice([11, 5000]) + ":",
                          lines[i], count=1)
    elif kind == 6:
        lines[i] = re.sub(r"\t+", "\t" * rng.randrange(3), lines[i])
    data = "".join(l + "\r\n" for l in lines).encode("latin-1")
    if kind == 7:
        data = data[:rng.randrange(len(data) + 1)]
    return data


class DamagedReports(unittest.TestCase):
    """Reports cut short or garbled end in a report or a clear error, never
    in a traceback."""

    def run_main(self, argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = symbolize.main(argv)
            except SystemExit as e:  # argparse's own clear errors
                status = e.code
        return status, out.getvalue(), err.getvalue()

    def assert_clear_end(self, argv, what):
        try:
            status, out, err = self.run_main(argv)
        except Exception:  # the traceback is the finding
            self.fail("%s: traceback\n%s" % (what, traceback.format_exc()))
        self.assertIn(status, (0, 1), what)
        if status:
            self.assertRegex(err, r"^symbolize: ", what)
        return status, out

    def test_damaged_reports_and_images_end_clearly(self):
        rng = random.Random(20261209)
        with tempfile.TemporaryDirectory() as d:
            good = os.path.join(d, "good")
            bad = os.path.join(d, "bad")
            os.mkdir(good)
            os.mkdir(bad)
            write_image(os.path.join(good, "app.exe"), 0x14C, 0x10B,
                        0x400000, [0x1000, 0x3000])
            with open(os.path.join(good, "app.exe"), "rb") as f:
                image = f.read()
            reports = [report_lines(5, 6, "A", [
                (0x401234, 1, 0x234, APP), (0x403890, 2, 0x890, APP),
                (0x7FF00000, 0, 0, "")], digits=digits) for digits in (8, 16)]
            log = os.path.join(d, "events.log")
            printed = 0
            for case in range(400):
                data = damaged(rng, rng.choice(reports))
                for _ in range(rng.randrange(3)):  # more damage on damage
                    data = damaged(rng, symbolize.log_lines(data) or [""])
                with open(log, "wb") as f:
                    f.write(data)
                # Now and then the image is cut or garbled as well.
                cut = image[:rng.randrange(len(image) + 1)]
                if rng.randrange(2):
                    cut = bytes(rng.randrange(256) for _ in range(200))
                with open(os.path.join(bad, "app.exe"), "wb") as f:
                    f.write(cut)
                what = "case %d: %r" % (case, data[:300])
                for directory in (good, bad):
                    status, out = self.assert_clear_end(
                        [log, "-d", directory], what)
                    printed += status == 0 and out.startswith("Report of")
                self.assert_clear_end([log, "--list"], what)
            self.assertGreater(printed, 100)  # most damage leaves a report

    def test_unreadable_logs_end_clearly(self):
        with tempfile.TemporaryDirectory() as d:
            garbage = os.path.join(d, "garbage.log")
            with open(garbage, "wb") as f:
                f.write(bytes(range(256)) * 64)
            for log in (os.path.join(d, "missing.log"), d, garbage):
                status, _ = self.assert_clear_end([log], log)
                self.assertEqual(status, 1, log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
