#!/usr/bin/env python3
"""The watch's CPU share with the causes of stalls against a build without them: the
service's pipeline (clockgap 1 into clockgap-report --follow with day files and a
metrics file), one run of each report program side by side for the same time, the
monitor's CPU time and the watch's read from /proc. Prints figures; it is not a test.

    git worktree add /tmp/old ab6f3d2 && cmake -S /tmp/old -B /tmp/old/build &&
    cmake --build /tmp/old/build --target clockgap-report
    bench/cause_cost.py --seconds 120 --without /tmp/old/build/clockgap-report

--processes N starts N sleeping processes first (the watch lists every process while
the monitor waits beyond its usual), and --busy N runs N busy loops on the last CPU
with both monitors pinned there (contention all along, so the list is taken at every
row).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_cpu import BUILD, cpu_seconds  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=BUILD)
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--without", required=True, help="a clockgap-report built without causes")
    p.add_argument("--processes", type=int, default=0)
    p.add_argument("--busy", type=int, default=0)
    a = p.parse_args()
    folder = tempfile.mkdtemp(prefix="clockgap-cause-cost-")
    runs = []
    pin = ["taskset", "-c", str(os.cpu_count() - 1)] if a.busy else []
    others = [subprocess.Popen(["sleep", "100000"]) for _ in range(a.processes)]
    others += [subprocess.Popen(pin + ["sh", "-c", "while :; do :; done"]) for _ in range(a.busy)]
    try:
        for name, report in (("with causes", os.path.join(a.build, "clockgap-report")),
                             ("without", a.without)):
            os.makedirs(os.path.join(folder, name))
            monitor = subprocess.Popen(pin + [os.path.join(a.build, "clockgap"), "1"],
                                       stdout=subprocess.PIPE)
            watch = subprocess.Popen(
                [report, "--follow", "--log",
                 os.path.join(folder, name, "clockgap-%Y-%m-%d.log"),
                 "--prometheus", os.path.join(folder, name, "clockgap.prom")],
                stdin=monitor.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            monitor.stdout.close()
            runs.append((name, monitor, watch))
        started = time.time()
        time.sleep(a.seconds)
        wall = time.time() - started
        print(f"{wall:.0f} s, clockgap 1 | clockgap-report --follow --log --prometheus, "
              f"{a.processes} more processes, {a.busy} busy loops")
        for name, monitor, watch in runs:
            print(f"  {name:12s} watch {100 * cpu_seconds(watch.pid) / wall:.3f} % of a CPU, "
                  f"monitor {100 * cpu_seconds(monitor.pid) / wall:.2f} %")
    finally:
        for other in others:
            other.kill()
            other.wait()
        for _, monitor, watch in runs:
            monitor.kill()
            monitor.wait()
            watch.wait()
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
