"""Faults a long-running monitor meets: output that fails or goes away, stop signals,
and clock steps of an hour, a day and 300 years, and readings at the ends of the range."""

import datetime
import math
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from monitor_test import (FAKETIME_LIB, FakeClock, check_row_adds_up, read_rows,  # noqa: E402
                          skip_preamble)

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
HOUR_NS = 3_600 * 10**9
DAY_NS = 24 * HOUR_NS


def rows_in(text):
    """Every line of a log checked whole, and its rows parsed."""
    assert text.endswith("\n"), "the last line is cut"
    lines = text.split("\n")[:-1]
    assert harness.START.match(lines[0]), lines[0]
    assert lines[1] == harness.HEADER, lines[1]
    return [harness.Row(line) for line in lines[2:]]


class OutputFaults(unittest.TestCase):
    def test_full_device_keeps_it_running(self):
        with open("/dev/full", "w") as full:
            with harness.Run(stdout=full) as run:
                time.sleep(3.0)
                self.assertIsNone(run.proc.poll(), "it ended on a full device")
                run.proc.terminate()
                self.assertEqual(run.proc.wait(timeout=5), -signal.SIGTERM)
                self.assertEqual(run.proc.stderr.read(), b"", "it complained")

    def test_rows_come_again_once_writes_succeed(self):
        # A non-blocking pipe that is full refuses every write (EAGAIN) until its reader
        # drains it: the lines in between are lost, the later ones arrive whole.
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        filled = 0
        try:
            while True:
                filled += os.write(write_end, b"x" * 4096)
        except BlockingIOError:
            pass
        with harness.Run(stdout=write_end) as run:
            os.close(write_end)
            time.sleep(2.5)
            self.assertIsNone(run.proc.poll(), "it ended on a full pipe")
            drained = 0
            while drained < filled:
                drained += len(os.read(read_end, filled - drained))
            run.proc.stdout = os.fdopen(read_end, "rb")
            lines = run.read_lines_until(2, 3.0)
        self.assertEqual(len(lines), 2)
        for _, raw in lines:
            check_row_adds_up(self, harness.Row(harness.text_line(raw)))

    def test_a_disk_that_fills_and_frees_never_glues_two_lines(self):
        # A real full disk: a small tmpfs (the tests run as root). The log's last page
        # takes rows until a row fits only in part; the rest of it must come first once
        # there is room again, and no two lines may share one.
        folder = harness.small_tmpfs(self)
        log = os.path.join(folder, "run.log")
        # An earlier run fills the log's first page but for a line or two.
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs",
                               "minute.log")) as f:
            earlier = ""
            for line in f:
                if len(earlier) + len(line) > 4096 - 230:
                    break
                earlier += line
        with open(log, "w") as f:
            f.write(earlier)
        with open(log, "ab") as out, harness.Run(stdout=out) as run:
            time.sleep(0.3)
            filler = harness.fill(folder)
            time.sleep(4.0)  # the last page fills, a row is cut, later rows are lost
            full_size = os.path.getsize(log)
            os.remove(filler)
            time.sleep(2.5)
            self.assertIsNone(run.proc.poll(), "it ended on a full disk")
            run.proc.terminate()
            run.proc.wait(timeout=5)
        with open(log) as f:
            text = f.read()
        self.assertTrue(text.endswith("\n"), "the last line is cut")
        # Every line whole: none glued, none cut.
        for line in text.split("\n")[:-1]:
            if not harness.START.match(line) and line != harness.HEADER:
                harness.Row(line)
        self.assertGreater(len(text), full_size, "no row came once there was room")

    def stop_a_run_into_a_file(self, sig):
        with tempfile.TemporaryFile() as log:
            with harness.Run(stdout=log) as run:
                time.sleep(2.2)
                # Stop it half-way through a second, well after that second's row.
                now = time.time()
                time.sleep(math.floor(now) + 1.5 - now)
                stopped_at = time.time()
                run.proc.send_signal(sig)
                self.assertEqual(run.proc.wait(timeout=5), -sig)
            log.seek(0)
            rows = rows_in(log.read().decode())
        self.assertGreaterEqual(len(rows), 2)
        last = rows[-1]
        stamp = datetime.datetime(last.year, last.month, last.day, last.hour, last.minute,
                                  last.second, tzinfo=datetime.timezone.utc).timestamp()
        self.assertEqual(stamp, math.floor(stopped_at), "the last second's row is missing")
        for row in rows:
            check_row_adds_up(self, row)

    def test_sigint_loses_nothing(self):
        self.stop_a_run_into_a_file(signal.SIGINT)

    def test_sigterm_loses_nothing(self):
        self.stop_a_run_into_a_file(signal.SIGTERM)


# (offset, the step in ns the clock makes when it is set)
STEPS = [("-1h", -HOUR_NS), ("+1h", HOUR_NS), ("-1d", -DAY_NS), ("+1d", DAY_NS),
         ("-300y", -300 * 365 * DAY_NS), ("+300y", 300 * 365 * DAY_NS)]


def shown(ns):
    """A difference as the monitor shows it: beyond 64 bits, the largest of its sign."""
    return max(INT64_MIN, min(INT64_MAX, ns))


class ClockExtremes(unittest.TestCase):
    def test_steps_back_and_forward(self):
        for offset, step in STEPS:
            with self.subTest(offset=offset):
                clock = FakeClock()
                self.addCleanup(clock.dir.cleanup)
                with harness.Run(env=clock.env()) as run:
                    skip_preamble(self, run)
                    self.assertEqual(len(read_rows(run, 1, 3.0)), 1)
                    clock.step(offset)
                    if step < 0:
                        # Behind the last row: no row until the clock is put right.
                        self.assertEqual(read_rows(run, 1, 1.5), [])
                        clock.set("+0")
                    rows = read_rows(run, 1, 2.5)
                    self.assertIsNone(run.proc.poll())
                self.assertEqual(len(rows), 1)
                row = rows[0][1]
                self.assertEqual(row.out_to_lunch, 1, row.line)
                if step < 0:
                    self.assertEqual(row.neg, 1, row.line)
                    # The step back, with its sign, to within the second before it.
                    self.assertLessEqual(row.min_diff_this_rep, shown(step + 2 * 10**9),
                                         row.line)
                    self.assertGreaterEqual(row.min_diff_this_rep, shown(step), row.line)
                    self.assertGreaterEqual(row.max_diff_this_rep, shown(-step), row.line)
                    self.assertLess(row.diff_report, 5 * 10**9, row.line)
                else:
                    self.assertEqual(row.neg, 0, row.line)
                    self.assertGreaterEqual(row.diff_report, shown(step), row.line)
                    self.assertLessEqual(row.diff_report, shown(step + 2 * 10**9), row.line)
                    self.assertGreaterEqual(row.max_diff_this_rep, shown(step), row.line)

    def test_ends_of_the_calendar(self):
        cases = [
            # Before 1601 a reading holds the first tick of 1601.
            ("@1600-12-31 23:59:59", "00:00:00.000", (1601, 1, 1, 0, 0, 1)),
            ("@9999-12-31 23:59:58", "23:59:58.000", (10000, 1, 1, 0, 0, 0)),
        ]
        for start, start_line, reached in cases:
            with self.subTest(start=start):
                with tempfile.NamedTemporaryFile("w") as when:
                    when.write(start + "\n")
                    when.flush()
                    env = {"LD_PRELOAD": FAKETIME_LIB,
                           "FAKETIME_TIMESTAMP_FILE": when.name}
                    with harness.Run(env=env) as run:
                        self.assertTrue(harness.text_line(run.read_line()).endswith(start_line))
                        self.assertEqual(harness.text_line(run.read_line()), harness.HEADER)
                        rows = [r for _, r in read_rows(run, 3, 4.0)]
                self.assertEqual(len(rows), 3)
                self.assertIn(reached, [(r.year, r.month, r.day, r.hour, r.minute, r.second)
                                        for r in rows])
                for row in rows:
                    self.assertEqual(row.neg, 0, row.line)
                    self.assertGreaterEqual(row.min_diff_this_rep, 0, row.line)


if __name__ == "__main__":
    unittest.main()
