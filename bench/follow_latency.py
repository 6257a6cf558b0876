#!/usr/bin/env python3
"""How long an event line of clockgap-report --follow takes to appear after its row is
written into the watch's input: every row here holds a stall, so every row gives a line.
Prints figures; it is not a test and never fails one.

    bench/follow_latency.py --rows 200 --interval 0.05
"""

import argparse
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402
from report_test import row_line  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--report", default=os.path.join(HERE, "..", "build", "clockgap-report"))
    p.add_argument("--rows", type=int, default=200)
    p.add_argument("--interval", type=float, default=0.05, help="seconds between rows")
    a = p.parse_args()
    stall = [0, 500_000] + [0] * 5 + [1] + [0] * 6
    with tempfile.TemporaryDirectory() as d:
        proc = subprocess.Popen(
            [a.report, "--follow", "--log", os.path.join(d, "run-%Y-%m-%d.log"),
             "--prometheus", os.path.join(d, "clockgap.prom")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.write(proc.stdin.fileno(), f"{harness.HEADER}\n".encode())
        delays = []
        for i in range(a.rows):
            line = row_line(f"2026-12-07 07:{i // 60 % 60:02d}:{i % 60:02d}", counts=stall,
                            max_gap=66_000_000) + "\n"
            sent = time.perf_counter()
            os.write(proc.stdin.fileno(), line.encode())
            ready, _, _ = select.select([proc.stdout], [], [], 5.0)
            if not ready:
                print("no event line within 5 s", file=sys.stderr)
                return
            os.read(proc.stdout.fileno(), 65536)
            delays.append((time.perf_counter() - sent) * 1000)
            time.sleep(a.interval)
        proc.stdin.close()
        proc.wait()
    delays.sort()
    print(f"event lines: {len(delays)}, each with --log and --prometheus written for its row")
    print(f"delay from writing a row to reading its event line (ms): "
          f"median {statistics.median(delays):.3f}, "
          f"p99 {delays[int(0.99 * (len(delays) - 1))]:.3f}, max {delays[-1]:.3f}")


if __name__ == "__main__":
    main()
