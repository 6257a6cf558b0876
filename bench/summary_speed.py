#!/usr/bin/env python3
"""The summary of a generated week (bench/week_log.py), by two or more builds of
clockgap-report side by side: rounds interleaved, each run pinned to one CPU, the median
and the least wall time of each, and each median against the first build's. Prints
figures; it is not a test.

    bench/summary_speed.py OLD/clockgap-report build/clockgap-report [--rounds 15]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("reports", nargs="+")
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--cpu", type=int, default=os.cpu_count() - 1)
    a = p.parse_args()
    with tempfile.TemporaryDirectory() as d:
        week = os.path.join(d, "week.log")
        with open(week, "w") as f:
            subprocess.run([sys.executable, os.path.join(HERE, "week_log.py"), "--seconds",
                            "604800"], stdout=f, check=True)
        times = {r: [] for r in a.reports}
        for _ in range(a.rounds):
            for r in a.reports:
                start = time.perf_counter()
                subprocess.run(["taskset", "-c", str(a.cpu), r, week], stdout=subprocess.DEVNULL,
                               check=True)
                times[r].append(time.perf_counter() - start)
    first = statistics.median(times[a.reports[0]])
    print(f"a week of rows (604,800), {a.rounds} rounds interleaved, pinned to CPU {a.cpu}:")
    for r in a.reports:
        median = statistics.median(times[r])
        print(f"  {r}: median {median * 1000:.1f} ms, least {min(times[r]) * 1000:.1f} ms, "
              f"{median / first:.3f} of the first")


if __name__ == "__main__":
    main()
