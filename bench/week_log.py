#!/usr/bin/env python3
"""Writes a log in the monitor's own format: one row a second for a given time, with the
rare events a long capture meets. Used by report_bench.py; also handy by itself:

    bench/week_log.py --seconds 604800 > week.log

What it puts in (seeded, so the same arguments give the same file):
  - a loop of about 500,000 readings a second, nearly all gaps below 2 ms;
  - now and then a scheduling hiccup of 3 to 90 ms (a few an hour);
  - once every few hours a hold-up of 0.2 to 3.5 s, and once a day one of 6 to 40 s
    (the row after it comes late, in the second half of a second, then resyncs);
  - once a day the clock set back by 0.5 to 2 s, and once a week forward by an hour.
"""

import argparse
import random
import sys
import time

HEADER = ("timestamp,ts_ms,diff_report,diff_avg,min_diff_this_rep,min_diff_ever,"
          "max_diff_this_rep,max_diff_ever,neg, 1ms,2ms,5ms, 10ms,20ms,50ms, 100ms,200ms,"
          "500ms, 1s,2s,5s, out_to_lunch,printf_latency")
LIMITS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000]


def band(gap_ns):
    if gap_ns < 0:
        return 0
    ms = gap_ns // 1_000_000
    for i, limit in enumerate(LIMITS):
        if ms <= limit:
            return i + 1
    return 13


def fmt(t_ms):
    s, ms = divmod(t_ms, 1000)
    tm = time.gmtime(s)
    return (f"{tm.tm_year:04d}-{tm.tm_mon:02d}-{tm.tm_mday:02d} "
            f"{tm.tm_hour:02d}:{tm.tm_min:02d}:{tm.tm_sec:02d},{ms:03d}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=int, default=604_800)
    p.add_argument("--start", type=int, default=1_796_601_600, help="Unix seconds of the start")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--crlf", action="store_true", help="Windows line ends")
    a = p.parse_args()
    rng = random.Random(a.seed)
    end = "\r\n" if a.crlf else "\n"
    out = sys.stdout
    out.write(f"Starting at {fmt(a.start * 1000 - 144)[11:].replace(',', '.')}{end}")
    out.write(HEADER + end)
    t = a.start * 1000  # ms of the row being written
    last_row = t - 144
    min_ever, max_ever = 10**9, 0
    latency = 0
    lines = []
    elapsed = 0
    while elapsed < a.seconds:
        counts = [0] * 14
        gaps = []
        r = rng.random()
        step_ms = 1000
        if r < 1 / 86_400:      # a long hold-up
            held = rng.randint(6_000, 40_000)
            gaps.append(held * 1_000_000 + rng.randint(0, 999_999))
            step_ms = 1000 * (held // 1000 + 1) + 600
        elif r < 2 / 86_400:    # clock set back
            gaps.append(-rng.randint(500, 2000) * 1_000_000)
        elif r < 2 / 86_400 + 1 / 604_800:  # clock set forward by an hour
            gaps.append(3_600_000_000_000 + rng.randint(0, 9_999_999))
            step_ms = 3_601_000
        elif r < 2 / 86_400 + 1 / 604_800 + 1 / 5_000:  # a hold-up below 5 s
            held = rng.randint(200, 3_500)
            gaps.append(held * 1_000_000 + rng.randint(0, 999_999))
            if held > 1000:
                step_ms = 1000 * (held // 1000 + 1) + 600
        for _ in range(rng.choice((0, 0, 0, 0, 1, 1, 2))):
            if rng.random() < 0.02:
                gaps.append(rng.randint(3_000_000, 90_000_000))
        rate = rng.randint(480_000, 520_000)
        for g in gaps:
            counts[band(g)] += 1
        counts[1] += rate - len(gaps)
        small = [1_100, 1_900, 2_300, 8_500]  # times 100: 0.11 to 0.85 ms, all in band 1ms
        positive = [g for g in gaps if g >= 0]
        max_rep = max(positive + [rng.choice(small) * 100 if rng.random() < .1 else 300_000])
        min_rep = min(gaps + [rng.randint(100, 300)])
        min_ever, max_ever = min(min_ever, min_rep), max(max_ever, max_rep)
        t += step_ms
        if t % 1000 >= 500 and step_ms % 1000 == 0:
            t -= t % 1000
        diff_report = (t - last_row) * 1_000_000 + rng.randint(-900, 900)
        avg = (diff_report - sum(min(g, 0) for g in gaps)) // max(1, rate)
        lines.append(f"{fmt(t)},{diff_report},{avg},{min_rep},{min_ever},{max_rep},{max_ever},"
                     f"{counts[0]}, {counts[1]},{counts[2]},{counts[3]}, {counts[4]},{counts[5]},"
                     f"{counts[6]}, {counts[7]},{counts[8]},{counts[9]}, {counts[10]},"
                     f"{counts[11]},{counts[12]}, {counts[13]},{latency}{end}")
        latency = rng.randint(20_000, 60_000) if rng.random() > .001 else rng.randint(1, 300) * 1_000_000
        last_row = t
        if t % 1000 >= 500:  # a late row: the next comes at the start of the next second
            t = t - t % 1000
        elapsed += max(1, step_ms // 1000)
        if len(lines) >= 4096:
            out.write("".join(lines))
            lines = []
    out.write("".join(lines))


if __name__ == "__main__":
    main()
