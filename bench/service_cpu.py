#!/usr/bin/env python3
"""The CPU share of the service's pipeline (clockgap into clockgap-report --follow with a
day log and a metrics file) at two sleep periods, run side by side for the same time.
Prints figures; it is not a test and never fails one.

    bench/service_cpu.py --seconds 30 --periods 0 1
"""

import argparse
import os
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "build")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=BUILD)
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--periods", nargs="+", default=["0", "1"])
    a = p.parse_args()
    folder = tempfile.mkdtemp()
    pipelines = []
    try:
        for period in a.periods:
            monitor = subprocess.Popen([os.path.join(a.build, "clockgap"), period],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            watch = subprocess.Popen(
                [os.path.join(a.build, "clockgap-report"), "--follow", "--log",
                 os.path.join(folder, f"p{period}-%Y-%m-%d.log"), "--prometheus",
                 os.path.join(folder, f"p{period}.prom")],
                stdin=monitor.stdout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            monitor.stdout.close()
            pipelines.append((period, monitor, watch))
        time.sleep(1.0)
        before = {period: (cpu_seconds(m.pid), cpu_seconds(w.pid)) for period, m, w in pipelines}
        start = time.monotonic()
        time.sleep(a.seconds)
        elapsed = time.monotonic() - start
        print(f"{os.cpu_count()} CPUs, {elapsed:.1f} s, all pipelines at once:")
        for period, m, w in pipelines:
            used = [cpu_seconds(m.pid) - before[period][0], cpu_seconds(w.pid) - before[period][1]]
            print(f"  sleep period {period:>3} ms: {100 * sum(used) / elapsed:6.1f} % of one CPU "
                  f"(monitor {100 * used[0] / elapsed:.1f} %, watch {100 * used[1] / elapsed:.1f} %)")
    finally:
        for _, m, w in pipelines:
            for proc in (m, w):
                proc.send_signal(signal.SIGTERM)
                proc.wait()
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
