#!/usr/bin/env python3
"""clockgap-report --fleet over generated hosts against the sum of their single reads:
wall time and peak memory (max RSS), for .gz day files; then the peak memory for one day
against two; then where the time of one .gz host goes (inflate against parsing: the same
day read from .gz and from plain text, and zlib's own gzip -dc). Prints figures; it is
not a test.

    bench/fleet_speed.py --hosts 50 --days 1 --seconds 86400
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fleet_logs import write_fleet  # noqa: E402


def timed(args):
    """Wall seconds and the peak RSS (MiB) of one run of `args`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    assert done.returncode == 0, done.stderr
    # ru_maxrss of children is the largest of any child so far: measure in order of size.
    return wall, max(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, before) / 1024


def peak_rss(args):
    """The peak RSS (MiB) of `args`, read by GNU time when it is there."""
    if not os.path.exists("/usr/bin/time"):
        return float("nan")
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *args], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True).stderr.strip().splitlines()[-1]
    return int(out) / 1024


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--report", default=os.path.join(HERE, "..", "build", "clockgap-report"))
    p.add_argument("--hosts", type=int, default=50)
    p.add_argument("--days", type=int, default=1)
    p.add_argument("--seconds", type=int, default=86400)
    a = p.parse_args()
    folder = tempfile.mkdtemp(prefix="clockgap-fleet-speed-")
    try:
        started = time.perf_counter()
        hosts = write_fleet(os.path.join(folder, "fleet"), a.hosts, a.days, a.seconds, gz=True)
        print(f"{a.hosts} hosts x {a.days} days x {a.seconds} rows made in "
              f"{time.perf_counter() - started:.0f} s")
        singles = 0.0
        for h in hosts:
            singles += timed([a.report, "--json", h])[0]
        fleet_wall = timed([a.report, "--fleet", "--json", os.path.join(folder, "fleet")])[0]
        print(f"--fleet: {fleet_wall:.2f} s wall against {singles:.2f} s for the {a.hosts} "
              f"single reads one after the other ({fleet_wall / singles:.2f} of it), "
              f"on {os.cpu_count()} CPUs")
        print(f"peak memory: --fleet {peak_rss([a.report, '--fleet', '--json', os.path.join(folder, 'fleet')]):.1f} MiB, "
              f"one host alone {peak_rss([a.report, '--json', hosts[0]]):.1f} MiB")
        # One day against two for the same hosts: the memory must not grow with the days.
        for days in (1, 2):
            sub = os.path.join(folder, f"days{days}")
            write_fleet(sub, 8, days, a.seconds, gz=True)
            print(f"peak memory, 8 hosts x {days} day(s): "
                  f"{peak_rss([a.report, '--fleet', '--json', sub]):.1f} MiB")
        # Where one host's time goes, on a day of realistic rows (bench/week_log.py; the
        # generated hosts' rows are all alike, and inflate far faster): the same day read
        # from .gz and from plain text.
        plain = os.path.join(folder, "day.log")
        with open(plain, "wb") as out:
            subprocess.run([sys.executable, os.path.join(HERE, "week_log.py"), "--seconds",
                            "86400", "--start", "1796601600"], stdout=out, check=True)
        subprocess.run(["gzip", "-k", plain], check=True)
        gz = plain + ".gz"
        t_gz = min(timed([a.report, "--json", gz])[0] for _ in range(5))
        t_plain = min(timed([a.report, "--json", plain])[0] for _ in range(5))
        t_zcat = min(timed(["gzip", "-dc", gz])[0] for _ in range(5))
        print(f"one realistic host-day: {t_gz:.3f} s from .gz, {t_plain:.3f} s from plain "
              f"text: inflate {(t_gz - t_plain) / t_gz:.0%} of the time; gzip -dc alone "
              f"{t_zcat:.3f} s")
        if shutil.which("libdeflate-gunzip"):
            t_ld = min(timed(["libdeflate-gunzip", "-c", gz])[0] for _ in range(5))
            print(f"libdeflate-gunzip -c: {t_ld:.3f} s against gzip -dc {t_zcat:.3f} s")
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
