#!/usr/bin/env python3
"""Line and branch coverage per source folder, from gcovr's JSON summary.

usage: summary.py SUMMARY.json

The folders are those the project counts as code: each file is filed under
its first one or two path components (src/agent, sockfilter/daemon, ...).
"""
import json
import sys


def folder_of(path):
    parts = path.split("/")
    return "/".join(parts[:2]) if len(parts) > 2 else parts[0]


def percent(covered, total):
    return "-" if total == 0 else f"{100.0 * covered / total:5.1f}"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as handle:
        summary = json.load(handle)
    folders = {}
    for entry in summary["files"]:
        totals = folders.setdefault(folder_of(entry["filename"]), [0, 0, 0, 0])
        totals[0] += entry["line_covered"]
        totals[1] += entry["line_total"]
        totals[2] += entry["branch_covered"]
        totals[3] += entry["branch_total"]
    print(f"{'folder':<24} {'lines':>7} {'of':>7} {'line %':>7} {'branches':>9} {'of':>7} {'branch %':>9}")
    for name in sorted(folders):
        lc, lt, bc, bt = folders[name]
        print(f"{name:<24} {lc:>7} {lt:>7} {percent(lc, lt):>7} {bc:>9} {bt:>7} {percent(bc, bt):>9}")
    lc = sum(t[0] for t in folders.values())
    lt = sum(t[1] for t in folders.values())
    bc = sum(t[2] for t in folders.values())
    bt = sum(t[3] for t in folders.values())
    print(f"{'total':<24} {lc:>7} {lt:>7} {percent(lc, lt):>7} {bc:>9} {bt:>7} {percent(bc, bt):>9}")


if __name__ == "__main__":
    main()
