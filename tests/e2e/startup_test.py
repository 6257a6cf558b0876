"""Start-up of the real program: argument lines, start line and header, byte for byte."""

import datetime
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402


CASES = [
    # (arguments, expected argument line or None)
    ([], None),
    (["250"], "Sleep period adjusted to 250 ms"),
    (["0"], "Sleep period adjusted to 0 ms"),
    (["1000"], "Sleep period adjusted to 1000 ms"),
    (["1001"], "Warning: sleep period = 1001 ms sounds a little too high."),
    (["abc"], "abc does not look like an integer."),
    ([""], " does not look like an integer."),
    (["  "], "   does not look like an integer."),
    (["  7"], "Sleep period adjusted to 7 ms"),
    (["+5"], "Sleep period adjusted to 5 ms"),
    (["0x10"], "Sleep period adjusted to 0 ms"),
    (["15ms"], "Sleep period adjusted to 15 ms"),
    (["-5"], "Sleep period adjusted to -5 ms"),
    (["+"], "+ does not look like an integer."),
    (["- 3"], "- 3 does not look like an integer."),
    (["99999999999"], "Warning: sleep period = 2147483647 ms sounds a little too high."),
    (["-99999999999"], "Sleep period adjusted to -2147483648 ms"),
    (["250", "7", "abc"], "Sleep period adjusted to 250 ms"),
]


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)


def setUpModule():
    global WINE_SERVER
    WINE_SERVER = harness.start_wine_server()


def tearDownModule():
    harness.stop_wine_server(WINE_SERVER)


class StartUp(unittest.TestCase):
    def test_argument_cases(self):
        for args, expected in CASES:
            with self.subTest(args=args):
                before = utc_now()
                with harness.Run(*args) as run:
                    if expected is not None:
                        self.assertEqual(harness.text_line(run.read_line()), expected)
                    start = harness.text_line(run.read_line())
                    after = utc_now()
                    header = harness.text_line(run.read_line())
                m = harness.START.match(start)
                self.assertIsNotNone(m, start)
                self.assertEqual(header, harness.HEADER)
                # The start line tells the UTC time of day of the start reading.
                h, mi, s, ms = (int(x) for x in m.groups())
                said = before.replace(hour=h, minute=mi, second=s, microsecond=ms * 1000)
                if said < before - datetime.timedelta(hours=12):
                    said += datetime.timedelta(days=1)
                slack = datetime.timedelta(milliseconds=1)
                self.assertLessEqual(before - slack, said, start)
                self.assertLessEqual(said, after + slack, start)


class HelpAndVersion(unittest.TestCase):
    """--help, -h and --version answer and end (status 0): no start line, no row, no
    warning. Any other word is still a sleep period (abc: its warning, then rows)."""

    def test_help_and_version_end_at_once(self):
        import subprocess
        for args, said in ((["--help"], "usage: clockgap [SLEEP_PERIOD_MS]"),
                           (["-h"], "usage: clockgap [SLEEP_PERIOD_MS]"),
                           (["--version"], "clockgap 0.1.0"),
                           (["--version", "250"], "clockgap 0.1.0")):
            with self.subTest(args=args):
                done = subprocess.run(harness.WRAPPER + [harness.BINARY, *args],
                                      capture_output=True, timeout=60)
                out = done.stdout.replace(b"\r\n", b"\n").decode()
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(out.startswith(said + "\n"), out)
                self.assertNotIn("Starting at", out)
                self.assertNotIn("does not look like an integer", out)
                if args[0] == "--version":
                    self.assertRegex(out, r"\nbuilt with .+ for (Linux|Windows x86-64)\n$")
        # A word that merely looks like an option is still warned about and run at 0.
        with harness.Run("--helps") as run:
            self.assertEqual(harness.text_line(run.read_line()),
                             "--helps does not look like an integer.")
            self.assertIsNotNone(harness.START.match(harness.text_line(run.read_line())))


if __name__ == "__main__":
    unittest.main()
