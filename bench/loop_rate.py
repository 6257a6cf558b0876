#!/usr/bin/env python3
"""Loop rate of clockgap (default sleep period) beside the reference loop of one clock
reading and one yield, run alternately so that both see the same machine.

Usage: bench/loop_rate.py [--rounds N] [--seconds S] [--build DIR]

clockgap's rate comes from its own rows: the fourteen counts of a row are the readings
of its period, and diff_report is the period's length. The first row (which includes
start-up) is left out.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402


def clockgap_rate(binary, seconds):
    proc = subprocess.Popen([binary], stdout=subprocess.PIPE, text=True)
    readings = 0
    span_ns = 0
    rows = 0
    deadline = time.time() + seconds + 1.5
    for line in proc.stdout:
        if not line[:1].isdigit():
            continue
        rows += 1
        row = harness.Row(line.rstrip("\n"))
        if rows > 1:
            readings += sum(row.counts)
            span_ns += row.diff_report
        if time.time() > deadline or rows > seconds:
            break
    proc.kill()
    proc.wait()
    return readings * 1e9 / span_ns


def reference_rate(binary, seconds):
    out = subprocess.run([binary, str(seconds)], capture_output=True, text=True, check=True)
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = parser.parse_args()
    clockgap = os.path.join(args.build, "clockgap")
    reference = os.path.join(args.build, "bench", "reference_loop")

    mine, ref = [], []
    for r in range(args.rounds):
        mine.append(clockgap_rate(clockgap, args.seconds))
        ref.append(reference_rate(reference, args.seconds))
        print(f"round {r + 1}: clockgap {mine[-1] / 1e6:6.3f} M/s   "
              f"reference {ref[-1] / 1e6:6.3f} M/s   ratio {mine[-1] / ref[-1]:.3f}")
    ratios = [m / r for m, r in zip(mine, ref)]
    print(f"median: clockgap {statistics.median(mine) / 1e6:.3f} M passes/s, "
          f"reference {statistics.median(ref) / 1e6:.3f} M passes/s, "
          f"ratio {statistics.median(ratios):.3f} (per-round ratios "
          f"{min(ratios):.3f} to {max(ratios):.3f})")


if __name__ == "__main__":
    main()
