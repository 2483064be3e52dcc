#!/usr/bin/env python3
"""The shipped lnav format and syslog-ng configuration on real lines.

logtools_host writes every line type under the emulator; then either lnav
reads the files headless with the format installed in a private home, or
syslog-ng follows them in the foreground with a private configuration and
state folder while the host runs again and rotates events.log.

Usage: test_logtools.py --tool lnav|syslog-ng --host EXE --emulator 'A|B'
                        --logtools DIR --work DIR
"""

import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

parser = argparse.ArgumentParser()
parser.add_argument("--tool", required=True, choices=["lnav", "syslog-ng"])
parser.add_argument("--host", required=True)
parser.add_argument("--emulator", default="")
parser.add_argument("--logtools", required=True)
parser.add_argument("--work", required=True)
ARGS = parser.parse_args()

# Wine and both tools read local time; pin the zone for all of them.
ENV = dict(os.environ, TZ="UTC")

HEADER = re.compile(
    r"^(?P<type>.): (?P<stamp>\d\d [A-Z][a-z]{2} \d\d \((?P<weekday>\w{3})\) "
    r"\d\d:\d\d:\d\d\.\d{3}) \((?P<pid>-?\d+):(?P<tid>-?\d+)(?::[^)]*)?\): ")
TITLE_SEH = "*" * 14 + " SEH exception catched. Exception report: " + "*" * 60
TITLE_UNHANDLED = ("*" * 14 + " Unhandled exception filter. Exception report: "
                   + "*" * 60)
CLOSING = "*" * 122
MALFORMED = b"V: 08 Dec 26 (Tue) 17:44:15 (1:2): no milliseconds"
FOREIGN = b"not a zorvel line"


def run(command, timeout, env=ENV, **kwargs):
    return subprocess.run(command, env=env, timeout=timeout,
                          capture_output=True, **kwargs)


def run_host(work, mode):
    emulator = [w for w in ARGS.emulator.split("|") if w]
    exe = os.path.join(work, os.path.basename(ARGS.host))
    result = run(emulator + [exe, mode], timeout=180, cwd=work)
    out = result.stdout.decode("latin-1")
    found = re.search(r"ids pid=(\d+) main=(\d+) crash=(\d+)", out)
    if result.returncode != 0 or not found:
        raise AssertionError("logtools_host %s failed (%d):\n%s%s" %
                             (mode, result.returncode, out,
                              result.stderr.decode("latin-1")))
    return tuple(int(x) for x in found.groups())


def windows_path(path):
    return "Z:" + os.path.realpath(path).replace("/", "\\")


def physical_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\r\n"), "%s does not end with CR LF" % path
    return data[:-2].split(b"\r\n")


def stamp_time(stamp):
    return datetime.datetime.strptime(stamp, "%d %b %y (%a) %H:%M:%S.%f")


def fresh_work(work):
    """An empty work folder with the host, its DLLs and its profile."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    here = os.path.dirname(ARGS.host)
    for name in os.listdir(here):
        if name.lower().endswith((".exe", ".dll")):
            shutil.copy(os.path.join(here, name), work)
    with open(os.path.join(work, "logtools.ini"), "w", newline="") as f:
        f.write("[logfile]\r\nrotate = events.log,3\r\n")


class Run:
    """One run of the host in a fresh work folder, and what it must have
    written there."""

    def __init__(self, work):
        fresh_work(work)
        self.work = work
        self.start = datetime.datetime.utcnow()
        self.pid, self.main, self.crash = run_host(work, "lines")
        self.end = datetime.datetime.utcnow()
        running = "Running %s: " % windows_path(
            self.path(os.path.basename(ARGS.host)))
        m, c = self.main, self.crash
        listener = "[listener] "
        errors = [
            ("W", "NET", m, listener + running + "Warning: queue in is 85% full"),
            ("E", "NET", m, listener + running +
             "Error: client 7 sent a bad frame"),
            ("O", "NET", m, listener + running +
             "(listener.cpp at 120)cannot open port file. "
             "OS error description: Path not found.."),
            ("S", "NET", m, listener + running +
             "(listener.cpp at 131) connect to port 1 failed."
             "OS error description: Connection refused.."),
        ]
        # (type, mark, tid, text); a crash report is one entry with its
        # title; "\n" stands for an embedded line break.
        self.events = [
            ("V", "NET", m, listener + "client 7 connected from 10.0.0.5"),
            ("0", "NET", m, listener + "level 0 debug event"),
            ("3", "NET", m, listener + "level 3 debug event: 512 bytes queued"),
            ("/", "NET", m, listener + "level -1 debug event"),
        ] + errors + [
            ("V", "NET", m, listener + "three lines:\nsecond line\nthird line"),
            ("V", None, m, "no mark, no banner"),
            ("V", "CRASH", c, "about to store through a null pointer"),
            ("F", "ECTCH", c, TITLE_SEH),
            ("F", "ECTCH", c, TITLE_UNHANDLED),
            ("V", "MAIN", m, "the crash thread ended with exit code 1: yes"),
        ]
        self.errors = errors
        # A foreign first line, then two real lines with a line between them
        # whose header lacks the milliseconds.
        first, second = physical_lines(self.path("events.log"))[:2]
        with open(self.path("mixed.log"), "wb") as f:
            f.write(b"\r\n".join([FOREIGN, first, MALFORMED, second, b""]))

    def path(self, name):
        return os.path.join(self.work, name)


class LineChecks(unittest.TestCase):
    def check_stamp(self, run_, raw_line, weekday=None):
        """The raw line's stamp lies within the run and names its own
        weekday; returns it as a datetime."""
        header = HEADER.match(raw_line.decode("latin-1"))
        self.assertIsNotNone(header, raw_line)
        when = stamp_time(header.group("stamp"))
        self.assertGreaterEqual(when, run_.start - datetime.timedelta(seconds=2))
        self.assertLessEqual(when, run_.end + datetime.timedelta(seconds=2))
        self.assertEqual(header.group("weekday"), when.strftime("%a"))
        if weekday is not None:
            self.assertEqual(weekday, header.group("weekday"))
        return when

    def check_report(self, lines, title):
        """lines: the physical texts of one report after the header."""
        self.assertEqual(lines[0], title)
        self.assertRegex(lines[1], r"^Exception 0xC0000005 occured at address "
                         r"0x[0-9A-F]+\t\([0-9A-F]{2,}:[0-9A-F]{8} .*logtools_host"
                         r"\.exe\), params:  0x0*1, 0x0+$")
        self.assertTrue(lines[2].startswith("------------- Call stack (begin) "))
        self.assertEqual(lines[3], "Address\t\tFrame\t\t\tLogical addr\t\tModule")
        self.assertGreaterEqual(len(lines), 8)
        self.assertTrue(lines[-2].startswith("-------------- Call stack (end) "))
        self.assertEqual(lines[-1], CLOSING)


LEVELS = {"V": "info", "W": "warning", "E": "error", "O": "error",
          "S": "error", "F": "error", "0": "debug", "3": "debug", "/": "debug"}


class Lnav(LineChecks):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("lnav"):
            raise AssertionError("lnav is not installed: run scripts/setup.sh")
        cls.logs = Run(ARGS.work)
        cls.home = cls.logs.path("home")
        formats = os.path.join(cls.home, ".lnav", "formats", "installed")
        os.makedirs(formats)
        shutil.copy(os.path.join(ARGS.logtools, "lnav", "zorvel_log.json"),
                    formats)

    def query(self, log, sql):
        env = dict(ENV, HOME=self.home)
        env.pop("XDG_CONFIG_HOME", None)  # lnav would look there first
        result = run(["lnav", "-n", "-c", ";" + sql, "-c", ":write-json-to -",
                      self.logs.path(log)], timeout=60, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        return json.loads(result.stdout) if result.stdout.strip() else []

    def records(self, log):
        files = self.query(log, "SELECT format FROM lnav_file")
        self.assertEqual(files, [{"format": "zorvel_log"}])
        return self.query(
            log, "SELECT log_line, log_time, log_level, type, weekday, pid, "
            "tid, mark, log_body FROM zorvel_log ORDER BY log_line")

    def check_file(self, log, expected):
        raw = physical_lines(self.logs.path(log))
        records = self.records(log)
        got = [(r["type"], r["mark"], r["tid"],
                r["log_body"].replace("\r\n", "\n") if r["type"] != "F"
                else r["log_body"].split("\r\n")[0]) for r in records]
        self.assertEqual(got, expected)
        ends = [r["log_line"] for r in records[1:]] + [len(raw)]
        for record, end in zip(records, ends):
            self.assertEqual(record["pid"], self.logs.pid)
            self.assertEqual(record["log_level"], LEVELS[record["type"]])
            when = self.check_stamp(self.logs, raw[record["log_line"]],
                                    record["weekday"])
            self.assertEqual(record["log_time"],
                             when.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3])
            if record["type"] == "F":
                # The report's lines group under its title line: one message
                # holds every F line up to the next record.
                body = record["log_body"].split("\r\n")
                self.assertEqual(len(body), end - record["log_line"])
                texts = [body[0]]
                for line in body[1:]:
                    header = HEADER.match(line)
                    self.assertIsNotNone(header, line)
                    self.assertEqual(
                        line[:header.end()], "F: %s (%d:%d:ECTCH): " % (
                            header.group("stamp"), self.logs.pid,
                            self.logs.crash))
                    texts.append(line[header.end():])
                self.check_report(texts, body[0])
            else:
                self.assertEqual(record["log_body"].count("\r\n"),
                                 end - record["log_line"] - 1)
        return records

    def test_events_file_every_line_type(self):
        records = self.check_file("events.log", self.logs.events)
        # 2 reports of at least 8 lines, 2 continuation lines of the text.
        raw = physical_lines(self.logs.path("events.log"))
        self.assertEqual(len(records), 14)
        self.assertGreaterEqual(len(raw), 14 + 2 + 2 * 7)

    def test_errors_file(self):
        records = self.check_file("errors.log", self.logs.errors)
        self.assertEqual(len(records), 4)

    def test_reports_in_a_busy_file(self):
        # 8 threads write while 3 others fault at once: each report is a run
        # of its thread's F lines, and lnav makes it one message.
        work = self.logs.path("busy")
        fresh_work(work)
        pid = run_host(work, "busy")[0]
        log = os.path.join(work, "events.log")
        raw = [x.decode("latin-1") for x in physical_lines(log)]
        heads = [HEADER.match(x) for x in raw]
        self.assertTrue(all(heads))
        texts = [x[h.end():] for h, x in zip(heads, raw)]
        self.assertRegex(texts[-1], r"^crashed \d+ \d+ \d+$")
        titles = [i for i, x in enumerate(texts) if x == TITLE_UNHANDLED]
        self.assertEqual(sorted(heads[i].group("tid") for i in titles),
                         sorted(texts[-1].split()[1:]))
        reports = {}  # title's line: the report's lines
        for start in titles:
            end = texts.index(CLOSING, start)
            for i in range(start, end + 1):
                self.assertEqual(
                    raw[i][:heads[i].end()], "F: %s (%d:%s:ECTCH): " % (
                        heads[i].group("stamp"), pid,
                        heads[start].group("tid")),
                    "line %d, in the report from line %d" % (i, start))
            self.check_report(texts[start:end + 1], TITLE_UNHANDLED)
            reports[start] = [texts[start]] + raw[start + 1:end + 1]
        self.assertEqual(sum(map(len, reports.values())),
                         [h.group("type") for h in heads].count("F"))
        records = self.records(log)
        self.assertEqual(len(records), len(raw) - sum(
            len(r) - 1 for r in reports.values()))
        for record in records:
            body = record["log_body"].split("\r\n")
            self.assertEqual(body, reports.pop(record["log_line"], body[:1]))
        self.assertEqual(reports, {})

    def test_malformed_lines_are_not_records(self):
        records = self.records("mixed.log")
        # The foreign first line is a message without fields; the line with
        # a broken header is no record, but continues the one before it.
        # (lnav gives the pids as text here, after a row without one.)
        pid = str(self.logs.pid)
        self.assertEqual([(r["log_line"], r["type"], r["pid"] and str(r["pid"]),
                           r["mark"]) for r in records],
                         [(0, None, None, None), (1, "V", pid, "NET"),
                          (3, "0", pid, "NET")])
        self.assertEqual(records[0]["log_body"].rstrip("\r"),
                         FOREIGN.decode())
        self.assertEqual(records[1]["log_body"],
                         "[listener] client 7 connected from 10.0.0.5\r\n" +
                         MALFORMED.decode())


class SyslogNg(LineChecks):
    """syslog-ng follows events.log, errors.log and mixed.log; then the host
    runs again and rotates events.log."""

    @classmethod
    def setUpClass(cls):
        if not shutil.which("syslog-ng"):
            raise AssertionError(
                "syslog-ng is not installed: run scripts/setup.sh")
        cls.logs = Run(ARGS.work)
        cls.raw_events = physical_lines(cls.logs.path("events.log"))
        state = cls.logs.path("state")
        os.makedirs(state)
        cls.out = cls.logs.path("out.json")
        conf = cls.logs.path("syslog-ng.conf")
        sources = "\n".join(
            'source s_%s { zorvel_file(path("%s") follow_freq(1) '
            'line_timeout(2)); };' % (name, cls.logs.path(name + ".log"))
            for name in ("events", "errors", "mixed"))
        with open(conf, "w") as f:
            f.write("""@version: 3.38
@include "%s"
options { stats-freq(0); frac-digits(3); };
%s
destination d_json { file("%s" template(t_zorvel_json)); };
log { source(s_events); source(s_errors); source(s_mixed);
      destination(d_json); };
""" % (os.path.join(ARGS.logtools, "syslog-ng", "zorvel.conf"), sources,
            cls.out))
        cls.stderr = open(os.path.join(state, "syslog-ng.err"), "w+")
        cls.daemon = subprocess.Popen(
            ["syslog-ng", "-F", "-e", "-f", conf,
             "--persist-file", os.path.join(state, "persist"),
             "--pidfile", os.path.join(state, "pid"),
             "--control", os.path.join(state, "ctl")],
            env=ENV, stdout=cls.stderr, stderr=cls.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.terminate()
        try:
            cls.daemon.wait(timeout=20)
        except subprocess.TimeoutExpired:
            cls.daemon.kill()
            cls.daemon.wait(timeout=20)
        cls.stderr.seek(0)
        sys.stderr.write(cls.stderr.read())
        cls.stderr.close()

    def records(self, wanted):
        """The JSON records once wanted of them have arrived (bounded), and
        after one more quiet spell, so that extra ones would show too."""
        deadline = time.monotonic() + 60
        records = []
        while time.monotonic() < deadline:
            self.assertIsNone(self.daemon.poll(), "syslog-ng ended")
            if os.path.exists(self.out):
                with open(self.out, "rb") as f:
                    records = [json.loads(x) for x in f.read().splitlines()]
            if len(records) >= wanted:
                break
            time.sleep(0.2)
        time.sleep(4)  # two line timeouts
        with open(self.out, "rb") as f:
            return [json.loads(x) for x in f.read().splitlines()]

    def of(self, records, name):
        path = self.logs.path(name)
        return [{k: v for k, v in r.items() if k != "file"}
                for r in records if r["file"] == path]

    def expected_json(self, entries, raw):
        """The records for entries; stamps come from the raw lines, found
        in the order of the entries."""
        out, at = [], 0
        for kind, mark, tid, text in entries:
            while not raw[at].decode("latin-1").startswith(kind + ": ") or (
                    kind == "F" and not raw[at].endswith(text.encode())):
                at += 1
            stamp = HEADER.match(raw[at].decode("latin-1")).group("stamp")
            record = {"type": kind, "stamp": stamp, "pid": self.logs.pid,
                      "tid": tid, "text": text,
                      "time": stamp_time(stamp).strftime(
                          "%Y-%m-%dT%H:%M:%S.%f")[:-3] + "+00:00"}
            if mark:
                record["mark"] = mark
            out.append(record)
            at += 1
        return out

    def check_lines(self, got, entries, raw):
        """got: one file's records; entries: what the host wrote there."""
        # Every F line is a record of its own here: the reports run from
        # each title to the next record that is not an F line.
        starts = [i for i, r in enumerate(got)
                  if r["text"] in (TITLE_SEH, TITLE_UNHANDLED)]
        titles = [got[i] for i in starts]
        for start, title in zip(starts, (TITLE_SEH, TITLE_UNHANDLED)):
            end = start + 1
            while end < len(got) and got[end]["type"] == "F" and \
                    got[end]["text"] not in (TITLE_SEH, TITLE_UNHANDLED):
                end += 1
            report = got[start:end]
            self.assertEqual({(r["pid"], r["tid"], r["mark"]) for r in report},
                             {(self.logs.pid, self.logs.crash, "ECTCH")})
            self.check_report([r["text"] for r in report], title)
        plain = [r for r in got if r["type"] != "F" or r in titles]
        self.assertEqual(plain, self.expected_json(entries, raw))
        # Every physical line with a header is one record.
        self.assertEqual(len(got), len([x for x in raw if HEADER.match(
            x.decode("latin-1"))]))
        for record in got:
            self.check_stamp(self.logs, [x for x in raw if x.decode(
                "latin-1").startswith(record["type"] + ": " +
                                      record["stamp"])][0])
            for value in record.values():
                self.assertNotIn("\r", str(value))

    def wanted(self):
        return (len(self.raw_events) - 2 +
                len(physical_lines(self.logs.path("errors.log"))) + 3)

    def test_1_fields_line_breaks_and_malformed_lines(self):
        raw_errors = physical_lines(self.logs.path("errors.log"))
        records = self.records(self.wanted())
        self.assertEqual(len(records), self.wanted())
        self.check_lines(self.of(records, "events.log"), self.logs.events,
                         self.raw_events)
        self.check_lines(self.of(records, "errors.log"), self.logs.errors,
                         raw_errors)
        mixed = self.of(records, "mixed.log")
        self.assertEqual(mixed[0], {"unparsed": FOREIGN.decode()})
        self.assertEqual(
            [(r["type"], r["text"]) for r in mixed[1:]],
            [("V", "[listener] client 7 connected from 10.0.0.5\n" +
              MALFORMED.decode()), ("0", "[listener] level 0 debug event")])

    def test_2_rotation_loses_and_duplicates_nothing(self):
        # Everything written so far has arrived (test 1) before the file is
        # rotated: syslog-ng 3.38 drops a last line it holds back when the
        # file is replaced within line_timeout of reading it.
        before = self.records(self.wanted())
        self.assertEqual(len(before), self.wanted())
        events = self.logs.path("events.log")
        with open(events, "rb") as f:
            old_content = f.read()
        yesterday = time.time() - 86400
        os.utime(events, (yesterday, yesterday))
        pid, main, _ = run_host(self.logs.work, "after")
        with open(events + ".1", "rb") as f:
            self.assertEqual(f.read(), old_content)
        fresh = physical_lines(events)
        self.assertEqual(len(fresh), 5)
        records = self.records(len(before) + 5)
        self.assertEqual(len(records), len(before) + 5)
        self.assertEqual(records[:len(before)], before)
        got = self.of(records, "events.log")
        old = len(self.raw_events) - 2
        self.assertEqual(got[:old], self.of(before, "events.log"))
        after = [(r["type"], r["pid"], r["tid"], r["mark"], r["text"])
                 for r in got[old:]]
        self.assertEqual(after, [("V", pid, main, "MAIN", "after rotation %d" % i)
                                 for i in range(1, 6)])
        for record, raw in zip(got[old:], fresh):
            self.assertEqual(record["stamp"], HEADER.match(
                raw.decode("latin-1")).group("stamp"))


if __name__ == "__main__":
    suite = unittest.TestLoader().loadTestsFromTestCase(
        Lnav if ARGS.tool == "lnav" else SyslogNg)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
