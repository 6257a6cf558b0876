#!/usr/bin/env python3
"""How long the event lines of clockgap-report --follow --gzip take at midnight, while
the day that has just ended (86,400 rows) is compressed, against the same watch without
--gzip. A day of rows is written into the watch as fast as it takes them; then, past
midnight, one row holding a stall every `--interval` seconds, each timed from its write
to its event line. Prints figures; it is not a test and never fails one.

    bench/midnight_delay.py --rows 100 --interval 0.01
"""

import argparse
import os
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from report_test import row_line  # noqa: E402

START = 1_796_601_600  # a UTC midnight: the day file of week_log's first day


def measure(report, gzip, day_text, rows, interval):
    with tempfile.TemporaryDirectory() as d:
        args = [report, "--follow", "--log", os.path.join(d, "run-%Y-%m-%d.log"),
                "--prometheus", os.path.join(d, "clockgap.prom")] + (["--gzip"] if gzip else [])
        proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        # Written by a thread while this one reads the day's event lines.
        writer = threading.Thread(target=os.write, args=(proc.stdin.fileno(), day_text))
        writer.start()
        # Every row of the day is in the day file (its events have been read) before
        # the first row of the next day.
        pending = b""
        day_file = os.path.join(d, time.strftime("run-%Y-%m-%d.log", time.gmtime(START)))
        while not os.path.exists(day_file) or os.path.getsize(day_file) < len(day_text):
            ready, _, _ = select.select([proc.stdout], [], [], 0.05)
            if ready:
                os.read(proc.stdout.fileno(), 1 << 20)
        writer.join()
        size = os.path.getsize(day_file)
        stall = [0, 500_000] + [0] * 5 + [1] + [0] * 6
        delays = []
        midnight = time.perf_counter()
        gz_seen = None
        for i in range(rows):
            t = time.gmtime(START + 86_400 + i)
            line = row_line(time.strftime("%Y-%m-%d %H:%M:%S", t), counts=stall,
                            max_gap=66_000_000) + "\n"
            sent = time.perf_counter()
            os.write(proc.stdin.fileno(), line.encode())
            while b"stall" not in pending:
                ready, _, _ = select.select([proc.stdout], [], [], 5.0)
                if not ready:
                    print("no event line within 5 s", file=sys.stderr)
                    return None
                pending += os.read(proc.stdout.fileno(), 65536)
            pending = pending.split(b"stall", 1)[1]
            pending = pending.split(b"\n", 1)[1] if b"\n" in pending else b""
            delays.append((time.perf_counter() - sent) * 1000)
            if gz_seen is None and os.path.exists(day_file + ".gz"):
                gz_seen = time.perf_counter() - midnight
            time.sleep(interval)
        proc.stdin.close()
        proc.stdout.read()
        proc.wait()
        gz = os.path.getsize(day_file + ".gz") if gzip else 0
    delays.sort()
    return delays, gz_seen, size, gz


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--report", default=os.path.join(HERE, "..", "build", "clockgap-report"))
    p.add_argument("--rows", type=int, default=100, help="rows after midnight")
    p.add_argument("--interval", type=float, default=0.01, help="seconds between them")
    a = p.parse_args()
    day_text = subprocess.run([sys.executable, os.path.join(HERE, "week_log.py"), "--seconds",
                               "86399", "--start", str(START)], capture_output=True,
                              check=True).stdout
    for gzip in (False, True):
        result = measure(a.report, gzip, day_text, a.rows, a.interval)
        if result is None:
            return
        delays, gz_seen, size, gz = result
        print(f"{'--gzip' if gzip else 'plain '}: event line delay after midnight (ms) over "
              f"{len(delays)} rows: median {statistics.median(delays):.3f}, "
              f"p99 {delays[int(0.99 * (len(delays) - 1))]:.3f}, max {delays[-1]:.3f}")
        if gzip:
            when = f"{gz_seen:.2f} s" if gz_seen is not None else "after the last row"
            print(f"        the day file ({size} bytes) was compressed to {gz} bytes "
                  f"({size / gz:.1f} to 1); FILE.gz was there {when} after midnight")


if __name__ == "__main__":
    main()
