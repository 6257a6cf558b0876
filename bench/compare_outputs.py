#!/usr/bin/env python3
"""What two builds of clockgap-report write, byte for byte, on the docs' logs and on a
generated fleet: the summary, --json, --csv, the page, the event lines of a watch
replaying a log (with its day files and metrics file), and --fleet as text, JSON and
page. The version line aside, every output must be the same; the differences are
printed. Prints figures; it is not a test.

    git worktree add /tmp/old COMMIT && cmake -S /tmp/old -B /tmp/old/build &&
    cmake --build /tmp/old/build --target clockgap-report
    bench/compare_outputs.py /tmp/old/build/clockgap-report build/clockgap-report
"""

import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fleet_logs import write_fleet  # noqa: E402

DOCS = os.path.join(HERE, "..", "docs")
LOGS = ["example.log", "minute.log", "hour.log"]


def cases(work):
    """(name, arguments, files it writes, standard input) of every run compared."""
    fleet = os.path.join(work, "fleet")
    write_fleet(fleet, 12, 2, 3600)
    for log in LOGS:
        path = os.path.join(DOCS, log)
        yield f"{log} summary", [path], [], None
        yield f"{log} json", ["--json", path], [], None
        yield f"{log} csv", ["--csv", path], [], None
        yield f"{log} page", ["--html", "PAGE.html", path], ["PAGE.html"], None
        yield f"{log} window", ["--json", "--stall", "2", "--from", "2026-01-01", path], [], None
        yield (f"{log} watch", ["--follow", "--json", "--log", "DAYS/clockgap-%Y-%m-%d.log",
                                "--prometheus", "METRICS.prom"],
               ["DAYS", "METRICS.prom"], path)
    yield "fleet text", ["--fleet", fleet], [], None
    yield "fleet json", ["--fleet", "--json", fleet], [], None
    yield "fleet page", ["--fleet", "--html", "PAGE.html", fleet], ["PAGE.html"], None
    yield "fleet window", ["--fleet", "--from", "2026-12-01T00:05Z", fleet], [], None


def run(report, args, files, stdin, folder):
    """Standard output, status and the files written, of one run in `folder`."""
    os.makedirs(folder)
    args = [a.replace("PAGE", os.path.join(folder, "PAGE"))
            .replace("DAYS", os.path.join(folder, "DAYS"))
            .replace("METRICS", os.path.join(folder, "METRICS")) for a in args]
    with open(stdin, "rb") if stdin else open(os.devnull, "rb") as f:
        done = subprocess.run([report, *args], stdin=f if stdin else None,
                              capture_output=True, timeout=300)
    out = {"stdout": done.stdout, "status": str(done.returncode).encode()}
    for name in files:
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            for entry in sorted(os.listdir(path)):
                out[f"{name}/{entry}"] = open(os.path.join(path, entry), "rb").read()
        elif os.path.exists(path):
            out[name] = open(path, "rb").read()
    # Where a run wrote its files, and the version, are not the output.
    for key, value in out.items():
        value = value.replace(folder.encode(), b"FOLDER")
        out[key] = re.sub(rb"clockgap-report [0-9][^<\n\"]*", b"clockgap-report VERSION", value)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("old")
    p.add_argument("new")
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="clockgap-compare-")
    same = differ = 0
    try:
        for n, (name, args, files, stdin) in enumerate(cases(work)):
            old = run(os.path.abspath(a.old), args, files, stdin, os.path.join(work, f"{n}-old"))
            new = run(os.path.abspath(a.new), args, files, stdin, os.path.join(work, f"{n}-new"))
            for key in sorted(set(old) | set(new)):
                a_, b_ = old.get(key, b""), new.get(key, b"")
                if a_ == b_:
                    same += 1
                    continue
                differ += 1
                print(f"differs: {name}: {key}")
                diff = difflib.unified_diff(a_.decode(errors="replace").splitlines(),
                                            b_.decode(errors="replace").splitlines(),
                                            lineterm="", n=0)
                for line in list(diff)[2:12]:
                    print("   ", line[:200])
    finally:
        shutil.rmtree(work, True)
    print(f"{same} outputs the same, {differ} different")


if __name__ == "__main__":
    main()
