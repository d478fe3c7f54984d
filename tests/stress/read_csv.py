#!/usr/bin/env python3
"""Reads a report with Python's csv module and compares it with the expected rows.

usage: read_csv.py REPORT EXPECTED_JSON

EXPECTED_JSON holds a list of rows, the header first, each a list of texts; a
byte b of a report stands for the code point b (the report is read as
latin-1). Prints each difference and exits 1 when there is one.
"""
import csv
import json
import sys


def main(report_path, expected_path):
    with open(expected_path, encoding="ascii") as f:
        expected = json.load(f)
    with open(report_path, newline="", encoding="latin-1") as f:
        rows = list(csv.reader(f, strict=True))
    problems = []
    width = len(rows[0]) if rows else 0
    for number, row in enumerate(rows, 1):
        if len(row) != width:
            problems.append(f"line {number}: {len(row)} columns, header has {width}: {row!r}")
    if len(rows) != len(expected):
        problems.append(f"{len(rows)} rows, expected {len(expected)}")
    for number, (got, want) in enumerate(zip(rows, expected), 1):
        if got != want:
            problems.append(f"row {number}: got {got!r}, expected {want!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
