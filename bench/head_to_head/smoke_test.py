#!/usr/bin/env python3
"""CTest check of the head-to-head benchmark: `run.py --smoke` must exit 0 and print a
table in which both the project and ffmpeg delivered frames. Exits 77 (skipped) only
when Xvfb or ffmpeg is not installed. No timing is asserted."""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

SKIP = 77


def cells(output, label):
    """The cells of the table row that starts with `label`, or None."""
    for line in output.splitlines():
        if line.startswith("| " + label):
            return [c.strip() for c in line.strip().strip("|").split("|")]
    return None


def number(text):
    try:
        return float(text.replace(",", ""))
    except ValueError:
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    missing = [tool for tool in ("Xvfb", "ffmpeg") if shutil.which(tool) is None]
    if missing:
        print(f"SKIPPED: {' and '.join(missing)} not installed (scripts/bootstrap installs them)")
        return SKIP
    run = Path(__file__).resolve().parent / "run.py"
    try:
        done = subprocess.run([sys.executable, str(run), "--smoke", "--build", args.build],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=240)
    except subprocess.TimeoutExpired as e:
        print(e.stdout or "")
        print("FAILED: run.py --smoke did not end within 240 s")
        return 1
    print(done.stdout)
    failures = []
    if done.returncode != 0:
        failures.append(f"run.py --smoke exited {done.returncode}")
    row = cells(done.stdout, "distinct frames/s")
    if row is None or len(row) < 3:
        failures.append("no 'distinct frames/s' row in the table")
    else:
        for name, value in (("the project", row[1]), ("ffmpeg", row[2])):
            fps = number(value)
            if fps is None or fps <= 0:
                failures.append(f"{name} delivered no frames (distinct frames/s: {value})")
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
