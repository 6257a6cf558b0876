"""The Windows program under Wine: CR LF line ends, rows, and the same text as on Linux."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

NATIVE = os.environ.get("CLOCKGAP_NATIVE", "")


def first_lines(command, count, timeout=20.0):
    """The first `count` raw lines a command writes, then it is stopped."""
    with harness.Run(command=command) as run:
        return [raw for _, raw in run.read_lines_until(count, timeout)]


def without_times(line):
    """A line with its digits masked, so that two runs can be compared."""
    return bytes(57 if 48 <= c <= 57 else c for c in line)


def setUpModule():
    global WINE_SERVER
    WINE_SERVER = harness.start_wine_server()


def tearDownModule():
    harness.stop_wine_server(WINE_SERVER)


class WindowsProgram(unittest.TestCase):
    def test_rows_in_a_three_second_run_end_in_cr_lf(self):
        with harness.Run() as run:
            self.assertRegex(harness.text_line(run.read_line(20.0)), harness.START)
            self.assertEqual(harness.text_line(run.read_line()), harness.HEADER)
            lines = run.read_lines_until(3, 3.5)
        self.assertGreaterEqual(len(lines), 2)
        for _, raw in lines:
            row = harness.Row(harness.text_line(raw, b"\r\n"))
            self.assertGreater(sum(row.counts), 0, row.line)
            self.assertLess(row.ts_ms, 500, row.line)

    @unittest.skipUnless(NATIVE, "no Linux program to compare with")
    def test_same_text_as_the_linux_program(self):
        for args in ([], ["250"], ["1001"], ["abc"], [""], ["-5"], ["99999999999"]):
            with self.subTest(args=args):
                count = 3 if args else 2
                windows = first_lines(harness.WRAPPER + [harness.BINARY, *args], count)
                linux = first_lines([NATIVE, *args], count)
                self.assertEqual(len(windows), count)
                self.assertEqual([line.replace(b"\r\n", b"\n") for line in windows[:-2]],
                                 linux[:-2], "argument line")
                self.assertEqual(without_times(windows[-2]).replace(b"\r\n", b"\n"),
                                 without_times(linux[-2]), "start line")
                self.assertEqual(windows[-1].replace(b"\r\n", b"\n"), linux[-1], "header")

    def test_ends_when_the_reader_has_gone(self):
        with harness.Run() as run:
            run.read_line(20.0)
            run.proc.stdout.close()
            closed = time.time()
            status = run.proc.wait(timeout=10)
        self.assertEqual(status, 1)
        self.assertLess(time.time() - closed, 5.0)


if __name__ == "__main__":
    unittest.main()
