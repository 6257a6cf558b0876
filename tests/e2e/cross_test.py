"""The programs of another processor (arm64, under qemu) against this machine's: the
monitor's start and rows in the same form, and the report of the same logs the same,
byte for byte."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from monitor_test import check_row_adds_up, read_rows  # noqa: E402

REPORT = os.environ.get("CLOCKGAP_REPORT", "build/clockgap-report")
NATIVE = os.environ.get("CLOCKGAP_NATIVE", "")
NATIVE_REPORT = os.path.join(os.path.dirname(NATIVE), "clockgap-report")
DOCS = os.path.join(os.environ.get("CLOCKGAP_SOURCE", "."), "docs")


def output(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


@unittest.skipUnless(harness.WRAPPER and not harness.ON_WINDOWS and os.path.exists(NATIVE),
                     "compares a build for another processor with this machine's")
class SameAsNative(unittest.TestCase):
    def test_the_monitor_starts_the_same_and_its_rows_add_up(self):
        for args in ([], ["250"], ["abc"], ["1001"], ["-99999999999"]):
            with self.subTest(args=args):
                lines = []
                for command in (harness.WRAPPER + [harness.BINARY], [NATIVE]):
                    with harness.Run(*args, command=command) as run:
                        first = [harness.text_line(run.read_line(timeout=30))
                                 for _ in range(3 if args else 2)]
                    # The start line's time is the one figure that differs.
                    lines.append([harness.START.sub("Starting at", line) for line in first])
                self.assertEqual(lines[0], lines[1])
        # Rows: the same columns, each adding up (their figures are measured, so they
        # differ from run to run on any processor).
        with harness.Run("1", command=harness.WRAPPER + [harness.BINARY]) as run:
            run.read_line(timeout=30)
            run.read_line()
            self.assertEqual(harness.text_line(run.read_line()), harness.HEADER)
            rows = [row for _, row in read_rows(run, 3, 6.0)]
        self.assertEqual(len(rows), 3)
        for row in rows:
            check_row_adds_up(self, row)
            self.assertEqual(row.neg, 0, row.line)

    def test_the_report_of_known_logs_is_the_same(self):
        cases = [[], ["--json"], ["--csv"], ["--stall", "5"], ["--from", "2026-12-07T07:00"]]
        with tempfile.TemporaryDirectory() as d:
            for log in ("example.log", "minute.log", "hour.log"):
                for args in cases + [["--html", "page.html"]]:
                    with self.subTest(log=log, args=args):
                        said = []
                        for program in (harness.WRAPPER + [os.path.abspath(REPORT)],
                                        [NATIVE_REPORT]):
                            status, out, err = output(program + args + [os.path.join(DOCS, log)],
                                                      d)
                            if args[:1] == ["--html"]:
                                with open(os.path.join(d, "page.html"), "rb") as f:
                                    out = f.read()
                            said.append((status, out, err))
                        self.assertEqual(said[0][0], 0, said[0][2])
                        self.assertEqual(said[0], said[1])
            # The logs side by side as hosts.
            fleet = []
            for program in (harness.WRAPPER + [os.path.abspath(REPORT)], [NATIVE_REPORT]):
                fleet.append(output(program + ["--fleet", "--json", *(
                    os.path.join(DOCS, n) for n in ("example.log", "minute.log", "hour.log"))],
                    d))
            self.assertEqual(fleet[0][0], 0, fleet[0][2])
            self.assertEqual(fleet[0], fleet[1])


if __name__ == "__main__":
    unittest.main()
