"""clockgap-report on small logs: summaries that add up, incidents, bad input, pictures."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

REPORT = os.environ.get("CLOCKGAP_REPORT", "build/clockgap-report")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "example.log")

# A run with a clock step back and forward in one row (line 6), a process held up for
# 6.4 s (line 8), and rows of every kind of band.
LOG = """Sleep period adjusted to 0 ms
Starting at 07:37:50.144
{header}
2026-12-07 07:37:51,000,855102400,1626,1500,1500,295400,295400,0, 525586,0,0, 0,0,0, 0,0,0, 0,0,0, 0,0
2026-12-07 07:37:52,000,999999800,1615,1400,1400,2824000,2824000,0, 618919,3,1, 0,0,0, 0,0,0, 0,0,0, 0,26100
2026-12-07 07:37:53,000,1000000900,1922713,-3599999835200,-3599999835200,3600000236900,3600000236900,1, 620474,0,0, 0,0,0, 0,0,0, 0,0,0, 1,15400
2026-12-07 07:37:54,000,999999500,1580,1300,-3599999835200,209100,3600000236900,0, 632620,0,0, 0,2,0, 0,1,0, 0,0,0, 0,27400
2026-12-07 07:38:01,450,6450335600,22722,1400,-3599999835200,6003090700,6003090700,0, 283878,0,0, 0,0,0, 0,0,0, 0,0,0, 1,27200
2026-12-07 07:38:02,000,549663900,1428,1300,-3599999835200,87500,6003090700,0, 384706,0,0, 0,0,0, 0,0,0, 0,0,0, 0,41400
""".format(header=harness.HEADER)


def report(*args, stdin=None, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([REPORT, *args], input=stdin, capture_output=True, timeout=60,
                          env=full_env)


def write_log(directory, text, line_end="\n", name="run.log"):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(text.replace("\n", line_end).encode())
    return path


def rows_of(text):
    return [harness.Row(line.rstrip("\r")) for line in text.splitlines() if line[:1].isdigit()]


class Summary(unittest.TestCase):
    def check_totals(self, out, rows):
        readings = sum(sum(r.counts) for r in rows)
        self.assertIn(f"Rows:        {len(rows)}, from", out)
        self.assertIn(f"Readings:    {readings} (", out)
        covered = sum(r.diff_report for r in rows) / 1e9
        self.assertIn(f"Time:        {covered:.3f} s", out)
        names = ["neg", "1ms", "2ms", "5ms", "10ms", "20ms", "50ms", "100ms", "200ms", "500ms",
                 "1s", "2s", "5s", "out_to_lunch"]
        for i, name in enumerate(names):
            total = sum(r.counts[i] for r in rows)
            self.assertRegex(out, rf"\n  {re.escape(name)} +{total} ", name)

    def test_both_line_ends_give_the_same_summary(self):
        outputs = []
        with tempfile.TemporaryDirectory() as d:
            for line_end in ("\n", "\r\n"):
                result = report(write_log(d, LOG, line_end))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, b"")
                outputs.append(result.stdout.decode())
        self.assertEqual(outputs[0], outputs[1])
        out = outputs[0]
        self.check_totals(out, rows_of(LOG))
        self.assertIn("Smallest gap: -3599999835200 ns (-3600.000 s), in the row of "
                      "2026-12-07 07:37:53.000 (line 6)", out)
        self.assertIn("Largest gap:  3600000236900 ns (3600.000 s), in the row of "
                      "2026-12-07 07:37:53.000 (line 6)", out)
        self.assertIn("07:37:53.000 (line 6): clock set back (1 negative gap, down to "
                      "-3600.000 s); clock set forward or process held up (1 gap above 5 s, "
                      "up to 3600.000 s)", out)
        self.assertIn("07:38:01.450 (line 8): clock set forward or process held up", out)
        self.assertIn("6.450 s without a row before 2026-12-07 07:38:01.450 (line 8)", out)
        self.assertIn("median gap at most 1 ms (below 2 ms)", out)
        self.assertIn("Row write time (printf_latency): median 27.2 us, largest 41.4 us", out)

    def test_a_real_log_from_standard_input(self):
        with open(EXAMPLE, "rb") as f:
            text = f.read()
        result = report(stdin=text.replace(b"\n", b"\r\n"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.check_totals(result.stdout.decode(), rows_of(text.decode()))

    def test_log_without_rows_yet(self):
        result = report(stdin=f"Starting at 07:37:50.144\n{harness.HEADER}\n".encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"No rows", result.stdout)


class BadInput(unittest.TestCase):
    def test_errors_name_the_line_and_the_fault(self):
        lines = LOG.splitlines()
        cases = [
            # (line number to replace, replacement, expected error)
            (5, lines[4].replace(", 618919", ", 61x919"),
             "line 5 field 10 (1ms) is not a count: ' 61x919'"),
            (7, lines[6].rsplit(",", 2)[0], "line 7 has 21 fields where a row has 23"),
            (4, "2026-12-07 07:37:51,000,1,2,3", "line 4 has 5 fields"),
            (6, lines[5].replace("1922713", "19.2"),
             "line 6 field 4 (diff_avg) is not a number: '19.2'"),
        ]
        for number, replacement, error in cases:
            with self.subTest(error=error):
                broken = lines[:number - 1] + [replacement] + lines[number:]
                result = report(stdin=("\n".join(broken) + "\n").encode())
                self.assertEqual(result.returncode, 1)
                self.assertIn(error, result.stderr.decode())
                self.assertEqual(result.stdout, b"")

    def test_missing_header(self):
        no_header = "\n".join(line for line in LOG.splitlines() if line != harness.HEADER)
        result = report(stdin=no_header.encode())
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"no clockgap header line", result.stderr)

    def test_cut_short_last_line_is_skipped(self):
        cut = LOG + "2026-12-07 07:38:03,000,100000"
        for line_end in ("\n", "\r\n"):
            with self.subTest(line_end=line_end):
                result = report(stdin=cut.replace("\n", line_end).encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"standard input line 10 is cut short", result.stderr)
                self.assertIn(b"Rows:        6, from", result.stdout)

    def test_missing_file_and_usage(self):
        self.assertEqual(report("/nonexistent/run.log").returncode, 1)
        self.assertEqual(report("--plot").returncode, 2)
        self.assertEqual(report("--frobnicate").returncode, 2)

    def test_never_crashes_on_junk(self):
        junk = bytes(range(256)) * 40
        result = report(stdin=f"{harness.HEADER}\n".encode() + junk)
        self.assertEqual(result.returncode, 1)


class Picture(unittest.TestCase):
    def test_png_and_svg(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            for name, magic in (("run.png", b"\x89PNG\r\n\x1a\n"), ("run.svg", b"<svg")):
                with self.subTest(name=name):
                    picture = os.path.join(d, name)
                    result = report("--plot", picture, log)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(f"Picture: {picture}".encode(), result.stdout)
                    with open(picture, "rb") as f:
                        content = f.read()
                    self.assertIn(magic, content[:400])
                    self.assertGreater(len(content), 10_000)

    def test_without_gnuplot_the_summary_still_comes(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            result = report("--plot", os.path.join(d, "run.png"), log, env={"PATH": d})
            self.assertEqual(result.returncode, 3)
            self.assertIn(b"apt-get install gnuplot-nox", result.stderr)
            self.assertIn(b"Rows:        6, from", result.stdout)
            self.assertFalse(os.path.exists(os.path.join(d, "run.png")))

    def test_unknown_picture_format(self):
        with tempfile.TemporaryDirectory() as d:
            result = report("--plot", os.path.join(d, "run.gif"), write_log(d, LOG))
            self.assertEqual(result.returncode, 3)
            self.assertIn(b"must end in .png or .svg", result.stderr)


if __name__ == "__main__":
    unittest.main()
