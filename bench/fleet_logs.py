#!/usr/bin/env python3
"""A generated fleet: a folder per host of clockgap day files (plain or .gz), a row a
second for `--seconds` from each UTC midnight, with incidents at known times. Used by the
fleet tests and benchmarks; it is not a test.

    bench/fleet_logs.py OUT --hosts 12 --days 2 --seconds 3600 [--gzip]

Incidents, by offset in seconds from the first day's midnight (the host numbers are
their places, 0 first; N hosts):
    100        a stall of 60 ms on hosts 0 .. 3N/4 - 1
    200        the clock set back 2 s on every host
    300        a stall of 80 ms on host 0 alone
    400, 401   a stall of 40 ms on host 1, and on host 2 a second later
    500        no row for 3 s (the monitor held: a gap of 3 s) on hosts 0 .. N/2 - 1
    550        no row for 6 s (a gap of 6 s, above 5 s) on hosts N-3 .. N-1
and on the second day, at 50, a stall of 70 ms on every host.

With --noise, each row's largest gap varies as on a busy host (most below 2 ms, a few of
2 to 9 ms, about 17 stalls of 10 to 40 ms a day), from one of eight seeds by the host's
place; hosts of the same seed and incidents get the same file, made once.
"""

import argparse
import datetime
import gzip
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from harness import HEADER  # noqa: E402
BANDS_MS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000]
DAY0 = datetime.datetime(2026, 12, 1, tzinfo=datetime.timezone.utc)


def band_of(gap_ns):
    ms = gap_ns // 1_000_000
    for i, top in enumerate(BANDS_MS):
        if ms < top:
            return i + 1
    return 13


def row(when, diff_report=1_000_000_000, gap_ns=300_000, set_back_ns=0):
    counts = [0] * 14
    counts[1] = 900
    if gap_ns > 300_000:
        counts[band_of(gap_ns)] += 1
    low = 200
    if set_back_ns:
        counts[0] = 1
        low = -set_back_ns
    c = counts
    return (f"{when:%Y-%m-%d %H:%M:%S},000,{diff_report},1100,{low},{min(low, 200)},{gap_ns},"
            f"{gap_ns},{c[0]}, {c[1]},{c[2]},{c[3]}, {c[4]},{c[5]},{c[6]}, {c[7]},{c[8]},{c[9]}, "
            f"{c[10]},{c[11]},{c[12]}, {c[13]},30000")


def incidents(host, hosts, day):
    """{offset: (gap_ns, silent_s, set_back_ns)} of this host on this day."""
    out = {}
    if day == 0:
        if host < 3 * hosts // 4:
            out[100] = (60_000_000, 0, 0)
        out[200] = (300_000, 0, 2_000_000_000)
        if host == 0:
            out[300] = (80_000_000, 0, 0)
        if host == 1:
            out[400] = (40_000_000, 0, 0)
        if host == 2:
            out[401] = (40_000_000, 0, 0)
        if host < hosts // 2:
            out[500] = (3_000_000_000, 3, 0)
        if host >= hosts - 3:
            out[550] = (6_000_000_000, 6, 0)
    elif day == 1:
        out[50] = (70_000_000, 0, 0)
    return out


def noisy_gap(rng):
    """A row's largest gap on a busy host, in ns."""
    draw = rng.random()
    if draw < 0.0002:
        return rng.randrange(10_000_000, 40_000_000)
    if draw < 0.01:
        return rng.randrange(2_000_000, 9_000_000)
    return 200_000 + int(rng.expovariate(1 / 300_000))


def host_day(host, hosts, day, seconds, noise_seed=None):
    rng = random.Random(noise_seed) if noise_seed is not None else None
    midnight = DAY0 + datetime.timedelta(days=day)
    lines = ["Starting at 00:00:00.144", HEADER]
    events = incidents(host, hosts, day)
    skip = set()
    for offset, (_, silent, _) in events.items():
        skip.update(range(offset - silent + 1, offset))
    for s in range(1, seconds + 1):
        if s in skip:
            continue
        quiet = noisy_gap(rng) if rng else 300_000
        gap, silent, back = events.get(s, (quiet, 0, 0))
        diff = (silent or 1) * 1_000_000_000
        lines.append(row(midnight + datetime.timedelta(seconds=s), diff, gap, back))
    return "\n".join(lines) + "\n"


def write_fleet(folder, hosts, days, seconds, gz=False, name="web-{}", noise=False):
    paths = []
    made = {}  # (incidents, seed, day) -> the file's bytes
    for h in range(hosts):
        host = os.path.join(folder, name.format(h + 1))
        os.makedirs(host, exist_ok=True)
        for d in range(days):
            day = DAY0 + datetime.timedelta(days=d)
            path = os.path.join(host, f"clockgap-{day:%Y-%m-%d}.log")
            seed = h % 8 if noise else None
            key = (tuple(sorted(incidents(h, hosts, d).items())), seed, d)
            if key not in made:
                text = host_day(h, hosts, d, seconds, seed).encode()
                made[key] = gzip.compress(text, compresslevel=6) if gz else text
            with open(path + (".gz" if gz else ""), "wb") as f:
                f.write(made[key])
        paths.append(host)
    return paths


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out")
    p.add_argument("--hosts", type=int, default=12)
    p.add_argument("--days", type=int, default=2)
    p.add_argument("--seconds", type=int, default=3600)
    p.add_argument("--gzip", action="store_true")
    p.add_argument("--noise", action="store_true", help="rows as on a busy host")
    a = p.parse_args()
    write_fleet(a.out, a.hosts, a.days, a.seconds, a.gzip, noise=a.noise)


if __name__ == "__main__":
    main()
