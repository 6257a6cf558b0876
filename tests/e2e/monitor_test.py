"""The complete monitor, end to end: rows, their schedule and sums, clock steps, output faults."""

import datetime
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

FAKETIME_LIB = os.environ.get("FAKETIME_LIB",
                              "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1")
HOUR_NS = 3_600_000_000_000


def check_row_adds_up(test, row):
    """The counts of a row are its readings: their gaps add up to the row's span."""
    counted = sum(row.counts[1:])
    test.assertGreater(sum(row.counts), 0, row.line)
    if row.neg == 0 and row.out_to_lunch == 0 and counted > 0:
        # Without clock steps, the gaps of a period run from the reading after the
        # previous row (its write time, shown on this row, later) up to this row's.
        span = row.diff_report - row.printf_latency
        test.assertLessEqual(row.diff_avg * counted, span, row.line)
        test.assertLess(span, (row.diff_avg + 1) * counted, row.line)
        test.assertLessEqual(row.min_diff_this_rep, row.diff_avg, row.line)
        test.assertLessEqual(row.diff_avg, row.max_diff_this_rep, row.line)
    test.assertLessEqual(row.min_diff_ever, row.min_diff_this_rep, row.line)
    test.assertGreaterEqual(row.max_diff_ever, row.max_diff_this_rep, row.line)


class FakeClock:
    """libfaketime with an offset file that can be changed while the program runs."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "offset")
        self.set("+0")

    def set(self, offset):
        tmp = self.path + ".new"
        with open(tmp, "w") as f:
            f.write(offset + "\n")
        os.replace(tmp, self.path)

    def step(self, offset):
        """Sets the offset in the middle of a report period, just after a row: a step
        while a row is being written falls between its reading and the one after the
        write, which is left out of the gap statistics."""
        time.sleep(0.2)
        self.set(offset)

    def env(self):
        return {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE": self.path,
                "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"}


def read_rows(run, count, timeout):
    rows = []
    for arrived, raw in run.read_lines_until(count, timeout):
        rows.append((arrived, harness.Row(harness.text_line(raw))))
    return rows


def skip_preamble(test, run):
    test.assertRegex(harness.text_line(run.read_line()), harness.START)
    test.assertEqual(harness.text_line(run.read_line()), harness.HEADER)


class Rows(unittest.TestCase):
    def test_one_row_per_second_at_its_start(self):
        with harness.Run() as run:
            skip_preamble(self, run)
            rows = read_rows(run, 4, 6.0)
        self.assertEqual(len(rows), 4)
        previous = None
        for arrived, row in rows:
            check_row_adds_up(self, row)
            stamp = datetime.datetime(row.year, row.month, row.day, row.hour, row.minute,
                                      row.second, row.ts_ms * 1000,
                                      tzinfo=datetime.timezone.utc).timestamp()
            # Written at the first reading of its second, and handed on at once. The first
            # row waits for half a second after the start reading, so it comes anywhere in
            # a first half: at .295 after a start at .795.
            self.assertLess(row.ts_ms, 250 if previous is not None else 500, row.line)
            self.assertLess(arrived - stamp, 0.5, row.line)
            if previous is not None:
                self.assertEqual(row.second, (previous.second + 1) % 60, row.line)
                self.assertGreater(row.printf_latency, 0, row.line)
            else:
                self.assertEqual(row.printf_latency, 0, row.line)
            previous = row

    def test_sleep_period_paces_the_readings(self):
        with harness.Run("100") as run:
            self.assertEqual(harness.text_line(run.read_line()), "Sleep period adjusted to 100 ms")
            skip_preamble(self, run)
            rows = read_rows(run, 3, 5.0)
        # The rows after the first must come, or the checks below would check nothing.
        self.assertEqual(len(rows), 3)
        for _, row in rows[1:]:
            check_row_adds_up(self, row)
            # About ten readings a second, each gap at least the pause.
            self.assertGreaterEqual(row.min_diff_this_rep, 100_000_000, row.line)
            self.assertLessEqual(sum(row.counts), 11, row.line)


class ClockSteps(unittest.TestCase):
    def setUp(self):
        self.clock = FakeClock()
        self.addCleanup(self.clock.dir.cleanup)

    def test_clock_set_back_an_hour(self):
        with harness.Run(env=self.clock.env()) as run:
            skip_preamble(self, run)
            self.assertEqual(len(read_rows(run, 1, 3.0)), 1)
            self.clock.step("-1h")
            # Behind the last row's reading: no row at all while the clock is back.
            self.assertEqual(read_rows(run, 1, 2.5), [])
            self.clock.set("+0")
            rows = read_rows(run, 2, 3.0)
        self.assertEqual(len(rows), 2)
        stepped = rows[0][1]
        self.assertGreaterEqual(stepped.neg, 1, stepped.line)
        self.assertEqual(stepped.out_to_lunch, 1, stepped.line)
        self.assertLess(stepped.min_diff_this_rep, -HOUR_NS + 3_000_000_000, stepped.line)
        self.assertLess(stepped.min_diff_ever, 0, stepped.line)
        self.assertEqual(rows[1][1].neg, 0, rows[1][1].line)
        check_row_adds_up(self, rows[1][1])

    def test_clock_set_back_two_seconds_catches_up(self):
        with harness.Run(env=self.clock.env()) as run:
            skip_preamble(self, run)
            first = read_rows(run, 1, 3.0)[0][1]
            self.clock.step("-2")
            # The clock must pass the last row's reading again before the next row.
            rows = read_rows(run, 1, 5.0)
        self.assertEqual(len(rows), 1)
        caught_up = rows[0][1]
        self.assertGreaterEqual(caught_up.neg, 1, caught_up.line)
        self.assertGreaterEqual(caught_up.diff_report, 500_000_000, caught_up.line)
        self.assertGreater((caught_up.hour, caught_up.minute, caught_up.second),
                           (first.hour, first.minute, first.second), caught_up.line)

    def test_clock_set_forward_an_hour(self):
        with harness.Run(env=self.clock.env()) as run:
            skip_preamble(self, run)
            self.assertEqual(len(read_rows(run, 1, 3.0)), 1)
            self.clock.step("+1h")
            rows = read_rows(run, 1, 2.0)
        self.assertEqual(len(rows), 1)
        jumped = rows[0][1]
        self.assertGreaterEqual(jumped.diff_report, HOUR_NS, jumped.line)
        self.assertLess(jumped.diff_report, HOUR_NS + 2_000_000_000, jumped.line)
        self.assertEqual(jumped.out_to_lunch, 1, jumped.line)
        self.assertEqual(jumped.neg, 0, jumped.line)


class OutputGone(unittest.TestCase):
    def test_head_ends_it(self):
        clockgap = subprocess.Popen(harness.WRAPPER + [harness.BINARY], stdout=subprocess.PIPE)
        head = subprocess.run(["head", "-n", "5"], stdin=clockgap.stdout, capture_output=True,
                              timeout=10)
        clockgap.stdout.close()
        head_done = time.time()
        try:
            clockgap.wait(timeout=3)
        finally:
            clockgap.kill()
        self.assertLess(time.time() - head_done, 2.5)
        self.assertEqual(len(head.stdout.splitlines()), 5)

    def test_ignored_sigpipe_still_ends_it(self):
        def ignore_sigpipe():
            signal.signal(signal.SIGPIPE, signal.SIG_IGN)

        clockgap = subprocess.Popen(harness.WRAPPER + [harness.BINARY], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, preexec_fn=ignore_sigpipe)
        clockgap.stdout.readline()
        clockgap.stdout.close()
        try:
            self.assertEqual(clockgap.wait(timeout=3), 1)
        finally:
            clockgap.kill()
        self.assertIn(b"standard output is gone", clockgap.stderr.read())
        clockgap.stderr.close()

    def test_closed_stdout_ends_it(self):
        result = subprocess.run(harness.WRAPPER + [harness.BINARY], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=5,
                                preexec_fn=lambda: os.close(1))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"standard output is gone", result.stderr)


if __name__ == "__main__":
    unittest.main()
