"""Joins zorvel-bench reports of several builds into one table: the rows
that compare the builds (one file for all threads), at 1 and 8 threads.

usage: side_by_side.py NAME=REPORT...
"""
import re
import sys

ROWS = ["event", "limit of event", "former design, event", "warning",
        "limit of warning", "devent, suppressed", "spdlog", "fprintf+fflush"]
CELL = re.compile(r"([0-9.]+(?:us|ns|ms))\s+([0-9]+)/s")


def shared_file_rows(text):
    """{row label: [cells]} of the section "All threads on one file"."""
    section = text.split("All threads on one file", 1)[-1]
    section = section.split("One file per thread", 1)[0]
    rows = {}
    for line in section.splitlines():
        for label in ROWS:
            if line.startswith(label + " ") or line.startswith(label + ","):
                cells = CELL.findall(line[30:])
                if cells and label not in rows:
                    rows[label] = [time for time, _ in cells]
    return rows


def main():
    builds = [arg.split("=", 1) for arg in sys.argv[1:]]
    tables = [(name, shared_file_rows(open(path).read()))
              for name, path in builds]
    header = "| Case | " + " | ".join(
        "%s, 1 thread | %s, 8 threads" % (name, name) for name, _ in tables)
    print(header + " |")
    print("|---" * (1 + 2 * len(tables)) + "|")
    for label in ROWS:
        cells = []
        for _, rows in tables:
            row = rows.get(label)
            cells += [row[0], row[3]] if row and len(row) == 4 else ["-", "-"]
        print("| %s | %s |" % (label, " | ".join(cells)))


if __name__ == "__main__":
    sys.exit(main())
