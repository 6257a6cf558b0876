#!/usr/bin/env python3
"""The fleet's page at growing fleets: for each number of hosts, a generated fleet
(bench/fleet_logs.py, .gz day files whose rows vary as on busy hosts), the page
clockgap-report --fleet --html writes, its size, the time to read the hosts and write
it, and the time headless Chromium takes to load and draw it (--dump-dom, which returns
once the page has loaded; the best of three, less the best of three on an empty page).
Prints figures; it is not a test.

    bench/fleet_page.py --hosts 12 60 200 1000 --seconds 86399
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fleet_logs import write_fleet  # noqa: E402

BUILD = os.path.join(HERE, "..", "build")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=BUILD)
    p.add_argument("--hosts", type=int, nargs="+", default=[12, 60, 200])
    p.add_argument("--seconds", type=int, default=3600, help="of rows a host")
    a = p.parse_args()
    report = os.path.join(a.build, "clockgap-report")
    work = tempfile.mkdtemp(prefix="clockgap-fleet-page-")
    try:
        print(f"{'hosts':>6} {'page':>10} {'write':>8} {'chromium':>9}")
        for hosts in a.hosts:
            fleet = os.path.join(work, f"fleet-{hosts}")
            write_fleet(fleet, hosts, 1, a.seconds, gz=True, noise=True)
            page = os.path.join(work, f"fleet-{hosts}.html")
            started = time.perf_counter()
            subprocess.run([report, "--fleet", "--html", page, fleet], check=True,
                           stdout=subprocess.DEVNULL)
            wrote = time.perf_counter() - started
            profile = os.path.join(work, "chromium")
            # Chromium's own start, on an empty page, is taken off its time for the page.
            empty = os.path.join(work, "empty.html")
            with open(empty, "w") as f:
                f.write("<!DOCTYPE html><title>empty</title>")
            times = []
            for target in (empty, page):
                best = None
                for _ in range(3):
                    started = time.perf_counter()
                    subprocess.run(["chromium", *FLAGS, f"--user-data-dir={profile}",
                                    "--dump-dom", "file://" + target],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=300)
                    took = time.perf_counter() - started
                    best = took if best is None else min(best, took)
                times.append(best)
            print(f"{hosts:>6} {os.path.getsize(page) / 1e6:>8.2f} MB {wrote:>6.2f} s "
                  f"{times[1] - times[0]:>7.2f} s", flush=True)
            shutil.rmtree(fleet)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
