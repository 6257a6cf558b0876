#!/usr/bin/env python3
"""The watch's CPU share with the causes of stalls against a build without them: the
service's pipeline (clockgap 1 into clockgap-report --follow with day files and a
metrics file), one run of each report program side by side for the same time, the
monitor's CPU time and the watch's read from /proc. Prints figures; it is not a test.

    git worktree add /tmp/old ab6f3d2 && cmake -S /tmp/old -B /tmp/old/build &&
    cmake --build /tmp/old/build --target clockgap-report
    bench/cause_cost.py --seconds 120 --without /tmp/old/build/clockgap-report

--processes N starts N sleeping processes first, each with --threads T threads in all
(the watch lists every process while the monitor waits beyond its usual and switches
are not read, and then the threads of the busy ones), and --busy N runs N busy loops
on the last CPU with both monitors pinned there (contention all along, so the list is
taken at every row). --no-switches runs both pipelines as a root without capabilities,
so that the kernel refuses the watch its switch records.
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


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=BUILD)
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--without", required=True, help="a clockgap-report built without causes")
    p.add_argument("--processes", type=int, default=0)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--busy", type=int, default=0)
    p.add_argument("--no-switches", action="store_true")
    p.add_argument("--spinner", default=os.path.join(BUILD, "tests", "clockgap_spinner"))
    a = p.parse_args()
    wrapper = ["setpriv", "--bounding-set=-all", "--inh-caps=-all"] if a.no_switches else []
    folder = tempfile.mkdtemp(prefix="clockgap-cause-cost-")
    runs = []
    pin = ["taskset", "-c", str(os.cpu_count() - 1)] if a.busy else []
    if a.threads > 1:
        others = [subprocess.Popen([a.spinner, "0", "0", "0", str(a.threads - 1)])
                  for _ in range(a.processes)]
    else:
        others = [subprocess.Popen(["sleep", "100000"]) for _ in range(a.processes)]
    others += [subprocess.Popen(pin + ["sh", "-c", "while :; do :; done"]) for _ in range(a.busy)]
    try:
        for name, report in (("with causes", os.path.join(a.build, "clockgap-report")),
                             ("without", a.without)):
            os.makedirs(os.path.join(folder, name))
            monitor = subprocess.Popen(wrapper + pin + [os.path.join(a.build, "clockgap"), "1"],
                                       stdout=subprocess.PIPE)
            watch = subprocess.Popen(
                wrapper + [report, "--follow", "--log",
                 os.path.join(folder, name, "clockgap-%Y-%m-%d.log"),
                 "--prometheus", os.path.join(folder, name, "clockgap.prom")],
                stdin=monitor.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            monitor.stdout.close()
            runs.append((name, monitor, watch))
        started = time.time()
        time.sleep(min(10, a.seconds))
        rss_early = {name: rss_kib(watch.pid) for name, _, watch in runs}
        time.sleep(max(0, a.seconds - 10))
        wall = time.time() - started
        print(f"{wall:.0f} s, clockgap 1 | clockgap-report --follow --log --prometheus, "
              f"{a.processes} more processes of {a.threads} threads, {a.busy} busy loops"
              f"{', switches refused' if a.no_switches else ''}")
        for name, monitor, watch in runs:
            print(f"  {name:12s} watch {100 * cpu_seconds(watch.pid) / wall:.3f} % of a CPU, "
                  f"monitor {100 * cpu_seconds(monitor.pid) / wall:.2f} %, watch's memory "
                  f"{rss_early[name]} KiB after 10 s, {rss_kib(watch.pid)} KiB at the end")
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
