#!/usr/bin/env python3
"""Times clockgap-report on a generated week of rows, side by side with the same tool
built from an earlier commit, with `wc -l` and with an awk script that computes the same
totals (whose figures it checks against the tool's JSON); and a day replayed through
--follow with and without --prometheus. Prints figures; it is not a test and never
fails one.

    bench/report_bench.py                    # against the commit before the one-pass core
    bench/report_bench.py --old-picture      # also the earlier tool's picture (minutes)

Figures: wall time (best of --rounds), MB of log read a second, and peak resident memory
of each command, for a week and for an hour of rows. Needs GNU time (Debian: time).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The last commit whose clockgap-report kept every row.
BEFORE = "af9e8cf"

# The totals of a log, as the summary gives them: rows, time covered, readings, the band
# totals, the smallest and the largest gap. Every row has 23 fields and starts with a digit.
AWK = r"""
BEGIN { FS = "," }
/^[0-9]/ && NF == 23 {
    rows++; covered += $3
    for (i = 9; i <= 22; i++) { band[i] += $i; readings += $i }
    if (rows == 1 || $5 < smallest) smallest = $5
    if (rows == 1 || $7 > largest) largest = $7
}
END {
    printf "%.0f %.0f %.0f %.0f %.0f", rows, covered, readings, smallest, largest
    for (i = 9; i <= 22; i++) printf " %.0f", band[i]
    printf "\n"
}
"""


def same_totals(report, log):
    """Whether the tool's JSON and the awk script give the same totals for `log`."""
    doc = json.loads(subprocess.run([report, "--json", log], capture_output=True,
                                    check=True).stdout)
    figures = [doc["rows"], doc["covered_ns"], doc["readings"],
               doc["smallest_gap"]["min_gap_ns"], doc["largest_gap"]["max_gap_ns"],
               *doc["bands"].values()]
    awk = subprocess.run(["awk", AWK, log], capture_output=True, text=True, check=True)
    return [int(x) for x in awk.stdout.split()] == figures


def measure(command, rounds):
    """Best wall time in s, peak memory in KiB (of the best round) and exit status, from
    GNU time, whose own fork is small beside the programs measured."""
    best = None
    for _ in range(rounds):
        r = subprocess.run(["/usr/bin/time", "-f", "%e %M", *command], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        elapsed, kib = r.stderr.split()[-2:]
        if best is None or float(elapsed) < best[0]:
            best = (float(elapsed), int(kib), r.returncode)
    return best


def build_before(directory):
    tree = os.path.join(directory, "before")
    subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", tree, BEFORE],
                   check=True, capture_output=True)
    try:
        subprocess.run(["cmake", "-S", tree, "-B", os.path.join(tree, "build"),
                        "-DCMAKE_BUILD_TYPE=Release", "-DCLOCKGAP_TESTS=OFF"], check=True,
                       capture_output=True)
        subprocess.run(["cmake", "--build", os.path.join(tree, "build"), "--target",
                        "clockgap-report", "--parallel"], check=True, capture_output=True)
        program = os.path.join(directory, "clockgap-report-before")
        os.replace(os.path.join(tree, "build", "clockgap-report"), program)
        return program
    finally:
        subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", tree],
                       capture_output=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--report", default=os.path.join(ROOT, "build", "clockgap-report"))
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--old-picture", action="store_true",
                   help="also draw the week with the earlier tool (took 213 s here)")
    a = p.parse_args()
    with tempfile.TemporaryDirectory() as d:
        before = build_before(d)
        logs = {}
        for name, seconds in (("hour", 3600), ("week", 604_800)):
            logs[name] = os.path.join(d, f"{name}.log")
            with open(logs[name], "w") as f:
                subprocess.run([sys.executable, os.path.join(HERE, "week_log.py"), "--seconds",
                                str(seconds)], stdout=f, check=True)
        week_mb = os.path.getsize(logs["week"]) / 1e6
        print(f"week: {week_mb:.1f} MB, "
              f"{sum(1 for _ in open(logs['week'], 'rb'))} lines; this machine: "
              f"{os.cpu_count()} CPUs\n")
        print(f"{'what':44} {'log':5} {'time (s)':>9} {'MB/s':>8} {'peak (KiB)':>11}")
        png = os.path.join(d, "week.png")
        page = os.path.join(d, "week.html")
        runs = [
            ("wc -l", ["wc", "-l"], ("hour", "week")),
            ("summary, earlier tool", [before], ("hour", "week")),
            ("summary, this tool", [a.report], ("hour", "week")),
            ("summary as JSON, this tool", [a.report, "--json"], ("week",)),
            ("summary and picture, this tool", [a.report, "--plot", png], ("hour", "week")),
            ("summary and page, this tool", [a.report, "--html", page], ("hour", "week")),
        ]
        if a.old_picture:
            runs.append(("summary and picture, earlier tool", [before, "--plot", png],
                         ("week",)))
        runs.insert(1, ("awk, the same totals", ["awk", AWK], ("hour", "week")))
        times = {}
        for label, command, which in runs:
            for name in which:
                rounds = 1 if "earlier tool" in label and "picture" in label else a.rounds
                seconds, kib, status = measure(command + [logs[name]], rounds)
                times[label, name] = seconds
                mb = os.path.getsize(logs[name]) / 1e6
                note = "" if status == 0 else f"  (exit status {status})"
                print(f"{label:44} {name:5} {seconds:9.2f} {mb / max(seconds, 0.01):8.1f} {kib:11d}{note}")
        awk = times["awk, the same totals", "week"]
        print(f"\nweek: the summary takes 1/{awk / times['summary, this tool', 'week']:.1f} "
              f"of awk's time, the JSON 1/{awk / times['summary as JSON, this tool', 'week']:.1f}; "
              f"same totals as awk: {same_totals(a.report, logs['week'])}")
        extra = times["summary and page, this tool", "week"] - times["summary, this tool", "week"]
        print(f"week: the page takes {extra:+.2f} s beside the summary alone and holds "
              f"{os.path.getsize(page) / 1e6:.2f} MB")

        # A day replayed through the watch, from a pipe, with and without the metrics file.
        day = os.path.join(d, "day.log")
        with open(day, "w") as f:
            subprocess.run([sys.executable, os.path.join(HERE, "week_log.py"), "--seconds",
                            "86400"], stdout=f, check=True)
        prom = os.path.join(d, "day.prom")
        replay = {}
        for label, extra in (("without --prometheus", ""), ("with --prometheus", f" --prometheus {prom}")):
            seconds, kib, status = measure(["sh", "-c", f"cat {day} | {a.report} --follow{extra} > /dev/null"],
                                           a.rounds)
            replay[label] = seconds
            print(f"{'day replayed through --follow, ' + label:50} {seconds:9.2f} s {kib:8d} KiB")
        print(f"with --prometheus it takes {replay['with --prometheus'] / max(replay['without --prometheus'], 0.01):.1f} "
              f"times as long")


if __name__ == "__main__":
    main()
