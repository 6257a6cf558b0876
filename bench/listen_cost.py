#!/usr/bin/env python3
"""What --listen costs: the service's pipeline (clockgap 1 into clockgap-report --follow
--listen) run twice for the same time, one of them scraped every INTERVAL seconds, with
the watch's CPU time, the scrapes' answer times, and the rows each monitor wrote above
100 ms. Prints figures; it is not a test and never fails one.

    bench/listen_cost.py --seconds 30 --interval 0.1
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "build")
sys.path.insert(0, HERE)
from service_cpu import cpu_seconds  # noqa: E402


def log_of(folder, name):
    own = os.path.join(folder, name.replace(" ", "-"))
    os.makedirs(own, exist_ok=True)
    return os.path.join(own, "run.log")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=BUILD)
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--interval", type=float, default=0.1)
    a = p.parse_args()
    folder = tempfile.mkdtemp()
    runs = []  # each watch keeps its day file in a folder of its own (a folder has one watch)
    for name in ("not scraped", "scraped"):
        monitor = subprocess.Popen([os.path.join(a.build, "clockgap"), "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        watch = subprocess.Popen([os.path.join(a.build, "clockgap-report"), "--follow",
                                  "--listen", "0", "--log",
                                  log_of(folder, name)],
                                 stdin=monitor.stdout, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        monitor.stdout.close()
        url = re.search(r"(http://\S+)", watch.stderr.readline().decode()).group(1)
        runs.append((name, monitor, watch, url))
    times = []
    started = time.monotonic()
    while time.monotonic() - started < a.seconds:
        t = time.monotonic()
        with urllib.request.urlopen(runs[1][3], timeout=5) as response:
            response.read()
        times.append(time.monotonic() - t)
        time.sleep(max(0.0, a.interval - (time.monotonic() - t)))
    print(f"{a.seconds:.0f} s, one scrape every {a.interval} s: {len(times)} scrapes")
    for name, monitor, watch, _ in runs:
        cpu = cpu_seconds(watch.pid)
        monitor.send_signal(signal.SIGINT)
        monitor.wait()
        watch.wait()
        with open(log_of(folder, name)) as f:
            rows = [line.split(",") for line in f if line[:1].isdigit()]
        above = sum(1 for r in rows if int(r[7]) > 100_000_000)
        print(f"  {name:12} the watch's CPU {cpu:.2f} s ({100 * cpu / a.seconds:.2f} %), "
              f"{len(rows)} rows, {above} with a gap above 100 ms")
    times.sort()
    print(f"  scrape answered in: median {1000 * times[len(times) // 2]:.2f} ms, "
          f"99th percentile {1000 * times[int(len(times) * 0.99)]:.2f} ms, "
          f"largest {1000 * times[-1]:.2f} ms")


if __name__ == "__main__":
    main()
