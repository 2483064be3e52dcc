#!/usr/bin/env python3
"""How the symbolizer reads reports and images.

Usage: test_symbolize.py SYMBOLIZER PE_BINARY OBJDUMP
"""

import importlib.util
import os
import re
import subprocess
import sys
import tempfile
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
                 close=True):
    """The lines of one report; frames are (pc, section, offset, module)."""
    first = frames[0]
    text = [
        "*" * 14 + " %s Exception report: " % title + "*" * 60,
        "Exception 0x%s occured at address 0x%08X\t(%02X:%08X %s), "
        "params:  0x00000001, 0x00000000" % (code, first[0], first[1],
                                              first[2], first[3]),
        "-" * 13 + " Call stack (begin) " + "-" * 85,
        "Address\t\tFrame\t\t\tLogical addr\t\tModule",
    ]
    for i, (pc, section, offset, module) in enumerate(frames):
        text.append("0x%08X\t\t0x%08X\t\t%04X:%08X\t\t%s" %
                    (pc, 0x12FF00 + 0x10 * i, section, offset, module))
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
        vmas = [int(m.group(1), 16) for m in re.finditer(
            r"^\s*\d+ \S+\s+[0-9a-f]+\s+([0-9a-f]+)\s", listing, re.M)]
        self.assertGreater(len(vmas), 1)
        self.assertEqual(len(vmas), len(image.virtual_addresses))
        for number, vma in enumerate(vmas, start=1):
            self.assertEqual(image.address(number, 0x10), vma + 0x10)
        self.assertIsNone(image.address(0, 0))
        self.assertIsNone(image.address(len(vmas) + 1, 0))

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
