#!/usr/bin/env python3
"""Prints the figures a show technician compares between two runs of one show, each read from
the report.json that mtc-host wrote: usually the default timing and phase lock.

    compare-modes.py NAME=REPORT.json [NAME=REPORT.json ...]
"""
import json
import sys


def load(arg):
    name, _, path = arg.partition("=")
    with open(path, encoding="utf-8") as f:
        return name, json.load(f)


def number(value, decimals=2):
    return "-" if value is None else f"{value:.{decimals}f}"


def rows(report):
    phase = report["pieceZeroPhaseMs"]
    error = report["receiverErrorMs"]
    causes = report["fullFramesByCause"]
    spread = None if phase["p1"] is None else phase["p99"] - phase["p1"]
    own = causes.get("late tick", 0) + causes.get("report gap", 0)
    return [
        ("cycles not two frames on", str(report["cyclesNotTwoFramesOn"])),
        ("piece 0 after its frame began, p50 ms", number(phase["p50"])),
        ("piece 0 spread, p1 to p99 ms", number(spread)),
        ("receiver error p50 ms", number(error["p50"])),
        ("receiver error p99 ms", number(error["p99"])),
        ("full frames (the service's own)", f'{report["fullFrames"]} ({own})'),
    ]


def main(args):
    if not args:
        sys.exit(__doc__.strip())
    runs = [load(arg) for arg in args]
    first = runs[0][1]
    print(f'{first["show"]}, {number(first["fps"], 2).rstrip("0").rstrip(".")} fps; '
          f'player: {first["playerClock"]}')
    table = [rows(report) for _, report in runs]
    print("  " + " " * 38 + "".join(f"{name:>12}" for name, _ in runs))
    for i, (label, _) in enumerate(table[0]):
        print(f"  {label:<38}" + "".join(f"{t[i][1]:>12}" for t in table))


if __name__ == "__main__":
    main(sys.argv[1:])
