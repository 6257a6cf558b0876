#!/usr/bin/env python3
"""How long clockgap takes to write a row into a pipe (its printf_latency column).

Usage: bench/printf_latency.py [--seconds S] [--build DIR] [SLEEP_PERIOD]

Runs clockgap into a pipe that this script reads, for S seconds (default 60), and
prints the median, 90th percentile and largest printf_latency of the rows. Each row
shows the write time of the row before it, so the first row (always 0) is left out.
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("sleep_period", nargs="?")
    args = parser.parse_args()
    command = [os.path.join(args.build, "clockgap")]
    if args.sleep_period is not None:
        command.append(args.sleep_period)

    proc = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    latencies = []
    end = time.time() + args.seconds
    rows = 0
    for line in proc.stdout:
        if not line[:1].isdigit():
            continue
        rows += 1
        if rows > 1:
            latencies.append(harness.Row(line.rstrip("\n")).printf_latency)
        if time.time() > end:
            break
    proc.kill()
    proc.wait()
    latencies.sort()
    print(f"{len(latencies)} rows into a pipe over {args.seconds} s: printf_latency median "
          f"{statistics.median(latencies) / 1000:.1f} us, p90 "
          f"{latencies[int(0.9 * (len(latencies) - 1))] / 1000:.1f} us, max "
          f"{latencies[-1] / 1000:.1f} us")


if __name__ == "__main__":
    main()
