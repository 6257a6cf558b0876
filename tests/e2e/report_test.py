"""clockgap-report end to end: summaries that add up, runs, windows, stalls, JSON, CSV,
bad input, interrupts, pictures and pages."""

import csv
import io
import json
import os
import re
import shutil
import signal
import time
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


# The Windows program runs under Wine; its standard output is in text mode (CR LF).
WRAPPER = harness.WRAPPER
ON_WINDOWS = harness.ON_WINDOWS
BENCH = os.path.join(os.path.dirname(__file__), "..", "..", "bench")


def report(*args, stdin=None, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    result = subprocess.run(WRAPPER + [REPORT, *args], input=stdin, capture_output=True,
                            timeout=120, env=full_env)
    result.stdout = result.stdout.replace(b"\r\n", b"\n")
    result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


def write_log(directory, text, line_end="\n", name="run.log"):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(text.replace("\n", line_end).encode())
    return path


def rows_of(text):
    return [harness.Row(line.rstrip("\r")) for line in text.splitlines() if line[:1].isdigit()]


def row_line(when, diff_report=1_000_000_000, counts=None, min_gap=200, max_gap=300_000,
             latency=30_000, ms=0):
    """One row as the monitor writes it; `when` is "YYYY-MM-DD HH:MM:SS"."""
    c = counts or [0, 500_000] + [0] * 12
    return (f"{when},{ms:03d},{diff_report},2000,{min_gap},{min_gap},{max_gap},{max_gap},"
            f"{c[0]}, {c[1]},{c[2]},{c[3]}, {c[4]},{c[5]},{c[6]}, {c[7]},{c[8]},{c[9]}, "
            f"{c[10]},{c[11]},{c[12]}, {c[13]},{latency}")


def run_log(start_hhmmss, rows, day="2026-12-07"):
    """A run: start line, header and `rows` rows a second apart from the given time."""
    h, m, sec = (int(x) for x in start_hhmmss.split(":"))
    lines = [f"Starting at {start_hhmmss}.144", harness.HEADER]
    for i in range(1, rows + 1):
        t = h * 3600 + m * 60 + sec + i
        lines.append(row_line(f"{day} {t // 3600:02d}:{t // 60 % 60:02d}:{t % 60:02d}"))
    return "\n".join(lines) + "\n"


def setUpModule():
    global WINE_SERVER
    WINE_SERVER = harness.start_wine_server()


def tearDownModule():
    harness.stop_wine_server(WINE_SERVER)


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
        # Worded as the watch words it.
        self.assertIn("07:37:53.000 (line 6): clock set back by 3600.000 s (1 negative gap); "
                      "clock set forward or process held up: a gap of 3600.000 s (1 above 5 s)",
                      out)
        self.assertIn("07:38:01.450 (line 8): clock set forward or process held up", out)
        self.assertIn("6.450 s without a row before 2026-12-07 07:38:01.450 (line 8)", out)
        self.assertIn("From the bands: at least 99.9 % of the gaps were below 2 ms.", out)
        # Write times 26.1, 15.4, 27.4, 27.2 and 41.4 us: the median is 27.2 us, given as
        # the bounds of its histogram bucket.
        self.assertIn("Row write time (printf_latency): median 26.6 us to 28.7 us, "
                      "largest 41.4 us", out)
        self.assertIn("   1. 3600.000 s in the row of 2026-12-07 07:37:53.000 (line 6)", out)

    def test_a_real_log_from_standard_input(self):
        with open(EXAMPLE, "rb") as f:
            text = f.read()
        result = report(stdin=text.replace(b"\n", b"\r\n"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.check_totals(result.stdout.decode(), rows_of(text.decode()))

    def test_tiny_logs(self):
        cases = [
            (f"Starting at 07:37:50.144\n{harness.HEADER}\n", b"No rows: the log holds no "
             b"report yet."),
            ("", b"No rows: the log holds no report yet."),
            (run_log("07:00:00", 1), b"Rows:        1, from"),
        ]
        for text, expected in cases:
            with self.subTest(text=text[:30]):
                result = report(stdin=text.encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(expected, result.stdout)

    def test_stalls_are_counted_whatever_the_percentiles_say(self):
        # One stall of 800 ms and one of 3.5 s among millions of gaps below 2 ms.
        c800 = [0, 500_000] + [0] * 8 + [1, 0, 0, 0]
        c3500 = [0, 500_000] + [0] * 10 + [1, 0]
        rows = [row_line("2026-12-07 07:00:01"),
                row_line("2026-12-07 07:00:02", counts=c800, max_gap=800_123_456),
                row_line("2026-12-07 07:00:06", diff_report=4_000_000_000, counts=c3500,
                         max_gap=3_500_000_001, ms=0),
                row_line("2026-12-07 07:00:07")]
        log = f"{harness.HEADER}\n" + "\n".join(rows) + "\n"
        cases = [
            ((), "Stalls (gaps of 10 ms or more): in 2 rows; 2 gaps, taking 4.300 s in all"),
            (("--stall", "1000"), "Stalls (gaps of 1000 ms or more): in 1 row; 1 gap, taking "
                                  "3.500 s in all"),
            (("--stall", "5000"), "Stalls (gaps of 5000 ms or more): none"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = report(*args, stdin=log.encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(expected, result.stdout.decode())
                self.assertIn("at least 99.9 % of the gaps were below 2 ms", result.stdout.decode())

    def test_a_coarse_clock_is_named_and_its_tick_is_no_stall(self):
        # As on Windows: readings repeat (smallest gap 0), one step per 15.625 ms tick.
        tick = [0, 600_000, 0, 0, 0, 64] + [0] * 8
        held = [0, 600_000, 0, 0, 0, 62, 1] + [0] * 7
        rows = [row_line(f"2026-12-07 07:00:{s:02d}", counts=held if s == 5 else tick,
                         min_gap=0, max_gap=46_875_000 if s == 5 else 15_625_000)
                for s in range(1, 30)]
        result = report(stdin=(f"{harness.HEADER}\n" + "\n".join(rows) + "\n").encode())
        out = result.stdout.decode()
        self.assertIn("Clock:       advances in ticks of about 15.625 ms: 29 of 29 rows have a "
                      "smallest gap of 0", out)
        self.assertIn("Stalls (gaps of 21 ms or more; gaps of one clock tick are not stalls): "
                      "in 1 row; 1 gap, taking 46.88 ms in all", out)

    def test_a_long_log_gets_a_table_over_time(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "day.log")
            with open(path, "w") as f:
                subprocess.run([sys.executable, os.path.join(BENCH, "week_log.py"),
                                "--seconds", "18000"], stdout=f, check=True)
            result = report(path)
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 0, result.stderr)
        table = out[out.index("Over time, by hour"):].splitlines()[2:]
        self.assertEqual(len(table), 6, table)  # five hours, and the row at the last second
        self.assertEqual(sum(int(line.split()[2]) for line in table),
                         int(re.search(r"Rows: +(\d+)", out).group(1)))
        self.assertEqual(len(re.findall(r"\n +\d+\. .* in the row of ", out)), 10)


class Runs(unittest.TestCase):
    def test_runs_are_kept_apart_in_either_order(self):
        a = run_log("12:05:30", 5)
        b = run_log("12:06:45", 3)
        for text, earlier in ((a + b, False), (b + a, True)):
            with self.subTest(earlier=earlier):
                result = report(stdin=text.encode())
                out = result.stdout.decode()
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("Rows:        8, in 2 runs", out)
                self.assertNotIn("from 2026", out)
                self.assertIn("run 1 (line 3):", out)
                self.assertIn("run 2 (line", out)
                # Each run's rate is its own: 500000 readings a second in both.
                self.assertEqual(out.count("500000 readings per second"), 2, out)
                self.assertEqual("; begins 77.000 s before the run before it ended" in out,
                                 earlier)
                doc = json.loads(report("--json", stdin=text.encode()).stdout)
                self.assertEqual([r["begins_before_previous_run_ended"]
                                  for r in doc["runs"]["listed"]], [False, earlier])

    def test_a_fragment_without_its_start_is_read(self):
        text = "\n".join(LOG.splitlines()[-5:]) + "\n"
        result = report(stdin=text.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"the start of the log is missing", result.stdout)
        self.assertIn(b"Rows:        5, from", result.stdout)


class Window(unittest.TestCase):
    def test_from_and_to_pick_rows(self):
        cases = [
            (("--from", "2026-12-07T07:37:53Z"), 4),
            # --to is not in the window: adjacent windows share no row.
            (("--to", "2026-12-07 07:37:53"), 2),
            (("--to", "2026-12-07 07:37:53.001"), 3),
            (("--from", "2026-12-07T07:37:52", "--to", "2026-12-07T07:37:54.000Z"), 2),
            (("--from", "2026-12-07"), 6),
        ]
        for args, rows in cases:
            with self.subTest(args=args):
                result = report(*args, stdin=LOG.encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"Rows:        {rows}, from".encode(), result.stdout)

    def test_adjacent_windows_split_the_log_exactly(self):
        def rows(*args):
            return json.loads(report("--json", *args, stdin=LOG.encode()).stdout)["rows"]
        for cut in ("2026-12-07T07:37:53Z", "2026-12-07T07:37:53.001Z", "2026-12-07"):
            with self.subTest(cut=cut):
                self.assertEqual(rows("--to", cut) + rows("--from", cut), rows())

    def test_the_first_row_of_a_window_or_a_cut_log_keeps_its_write_time(self):
        slow = LOG.splitlines()
        slow[5] = ",".join(slow[5].split(",")[:-1] + ["5258000000"])  # line 6 waited 5.258 s
        text = "\n".join(slow) + "\n"
        cases = [((), text), (("--from", "2026-12-07T07:37:53Z"), text),
                 ((), "\n".join(slow[5:]) + "\n")]
        for args, log in cases:
            with self.subTest(args=args, lines=len(log.splitlines())):
                doc = json.loads(report("--json", *args, stdin=log.encode()).stdout)
                self.assertEqual(doc["printf_latency"]["largest_ns"], 5_258_000_000)
                self.assertEqual(doc["printf_latency"]["largest_row"]["time"],
                                 "2026-12-07T07:37:53.000Z")

    def test_a_window_past_the_log_holds_no_rows(self):
        result = report("--from", "2027-01-01", stdin=LOG.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"No rows: the window holds none of the 6 rows read.", result.stdout)


class Json(unittest.TestCase):
    def test_json_holds_the_figures_of_the_text(self):
        result = report("--json", stdin=LOG.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = json.loads(result.stdout)
        rows = rows_of(LOG)
        self.assertEqual(doc["rows"], 6)
        self.assertEqual(doc["covered_ns"], sum(r.diff_report for r in rows))
        self.assertEqual(doc["readings"], sum(sum(r.counts) for r in rows))
        self.assertEqual(doc["bands"]["out_to_lunch"], 2)
        self.assertEqual(doc["smallest_gap"]["min_gap_ns"], -3599999835200)
        self.assertEqual(doc["largest_gap"]["line"], 6)
        self.assertEqual(doc["clock_events"]["count"], 2)
        self.assertEqual(doc["long_waits"]["listed"][0]["diff_report_ns"], 6450335600)
        self.assertEqual(doc["first_row"], "2026-12-07T07:37:51.000Z")
        self.assertEqual(doc["runs"]["count"], 1)
        self.assertEqual(doc["worst_gaps"][0]["max_gap_ns"], 3600000236900)
        self.assertEqual(doc["percentiles_below_ms"]["p99_9"], 2)
        text = report(stdin=LOG.encode()).stdout.decode()
        stalls = doc["stalls"]
        self.assertIn(f"in {stalls['rows']} rows; {stalls['gaps_min']} gaps", text)

    def test_json_with_a_window(self):
        result = report("--json", "--from", "2026-12-07T07:38:00Z", stdin=LOG.encode())
        doc = json.loads(result.stdout)
        self.assertEqual(doc["rows"], 2)
        self.assertEqual(doc["window"]["from"], "2026-12-07T07:38:00.000Z")
        self.assertEqual(doc["window"]["rows_outside"], 4)


class Stalls(unittest.TestCase):
    def test_never_more_stall_than_the_rows_cover(self):
        # Rows built to the limit: 160 gaps a second in 10ms (6 to 10.999 ms), which a
        # threshold of 7 ms cuts through; their mean says they fill each second.
        rows = "".join(row_line(f"2026-12-07 07:00:{s:02d}", counts=[0, 0, 0, 0, 160] + [0] * 9,
                                min_gap=6_000_000, max_gap=10_500_000).replace(
                                    ",2000,", ",6250000,", 1) + "\n" for s in range(1, 11))
        for stall in ("7", "6", "10"):
            with self.subTest(stall=stall):
                doc = json.loads(report("--json", "--stall", stall,
                                        stdin=(harness.HEADER + "\n" + rows).encode()).stdout)
                s = doc["stalls"]
                self.assertLessEqual(s["time_max_ns"], doc["covered_ns"])
                self.assertLessEqual(s["gaps_max"], 10 * 10**9 // (int(stall) * 10**6))
                self.assertLessEqual(s["time_min_ns"], s["time_max_ns"])


class Csv(unittest.TestCase):
    def test_rows_as_clean_csv(self):
        text = run_log("06:05:30", 2) + LOG
        result = report("--csv", "--to", "2026-12-07T07:38:01.451Z", stdin=text.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        table = list(csv.DictReader(io.StringIO(result.stdout.decode())))
        self.assertTrue(all(" " not in name for name in table[0]))
        self.assertEqual([r["run"] for r in table], ["1", "1", "2", "2", "2", "2", "2"])
        self.assertEqual(table[2]["time_utc"], "2026-12-07T07:37:51.000Z")
        self.assertEqual(table[6]["time_utc"], "2026-12-07T07:38:01.450Z")
        self.assertEqual(table[4]["neg"], "1")
        self.assertEqual(table[4]["min_diff_this_rep_ns"], "-3599999835200")
        self.assertEqual(table[3]["1ms"], "618919")


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
            (6, "x" * 5000, "line 6 is longer than any line clockgap writes"),
        ]
        for number, replacement, error in cases:
            broken = ("\n".join(lines[:number - 1] + [replacement] + lines[number:]) +
                      "\n").encode()
            with self.subTest(error=error):
                # One bad line costs that line: the rest is summarised, status 0.
                result = report("--json", stdin=broken)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(error, result.stderr.decode())
                self.assertTrue(result.stderr.endswith(b"; skipped it\n"), result.stderr)
                doc = json.loads(result.stdout)
                self.assertEqual((doc["rows"], doc["skipped_lines"], doc["first_skipped_line"]),
                                 (5, 1, number))
            with self.subTest(error=error, strict=True):
                result = report("--strict", stdin=broken)
                self.assertEqual(result.returncode, 1)
                self.assertIn(error, result.stderr.decode())
                self.assertEqual(result.stdout, b"")

    def test_logs_as_they_really_are(self):
        rows = LOG.splitlines()[3:]
        many_bad = LOG + "".join(f"junk {i}\n" for i in range(25))
        cases = [
            # (what, log, rows, skipped lines, first line a fragment, NUL bytes, status)
            ("cut in the middle of a row", LOG[LOG.index(rows[1]) + 20:], 4, 0, True, 0, 0),
            ("a hole of NUL bytes before the rows", "\0" * 70_000 + "\n".join(rows) + "\n",
             6, 0, False, 70_000, 0),
            ("25 bad lines", many_bad, 6, 25, False, 0, 0),
            # A first line of text is no row: it is not taken for a row cut at its start.
            ("no row at all", "junk\nmore junk\n", 0, 2, False, 0, 1),
        ]
        for what, log, count, skipped, fragment, nuls, status in cases:
            with self.subTest(what):
                result = report("--json", stdin=log.encode())
                self.assertEqual(result.returncode, status, result.stderr)
                doc = json.loads(result.stdout)
                self.assertEqual((doc["rows"], doc["skipped_lines"], doc["first_line_a_fragment"],
                                  doc["nul_bytes"]), (count, skipped, fragment, nuls))
                # The first ten bad lines are named, the rest counted; a fragment is named too.
                named = min(skipped, 10) + (1 if fragment else 0)
                self.assertEqual(result.stderr.count(b"; skipped it"), named, result.stderr)
                self.assertEqual(f"{skipped - 10} more lines".encode() in result.stderr,
                                 skipped > 10, result.stderr)

    def test_a_last_line_without_its_end_is_skipped_whatever_it_holds(self):
        with open(EXAMPLE) as f:
            example = f.read()
        # The example cut inside its last number: still a row, but not the one written.
        cut_number = example.rstrip("\n")[:-3]
        rows = len(rows_of(example))
        cases = [(LOG + "2026-12-07 07:38:03,000,100000", 6, 10),
                 (cut_number, rows - 1, len(example.splitlines()))]
        for text, kept, line in cases:
            for line_end in ("\n", "\r\n"):
                with self.subTest(line=line, line_end=line_end):
                    result = report(stdin=text.replace("\n", line_end).encode())
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(f"standard input line {line} is cut short".encode(),
                                  result.stderr)
                    self.assertIn(f"Rows:        {kept}, from".encode(), result.stdout)

    def test_wrong_usage_ends_before_reading(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            cases = [
                ("--plot", os.path.join(d, "x.jpg"), log),
                ("--plot", log),  # the picture's name forgotten
                ("--plot",),
                ("--frobnicate",),
                ("--from", "yesterday", log),
                ("--from", "2026-12-08", "--to", "2026-12-07", log),
                ("--to", "2026-12-07T25:00", log),
                ("--stall", "0", log),
                ("--stall", "ten", log),
                ("--json", "--csv", log),
                ("-", log, "-"),
                ("--follow", "--monitor", "1", log),  # the monitor is the one input
                ("--monitor", "1"),  # only with --follow
                ("--fleet", "--prometheus", "m.prom", log),  # refused by its own name
            ]
            for args in cases:
                with self.subTest(args=args):
                    result = report(*args)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn(b"usage: clockgap-report", result.stderr)
                    self.assertEqual(result.stdout, b"")
                    if "--fleet" in args:  # the message names the option refused
                        self.assertIn(b"not with --prometheus", result.stderr)

    def test_help_goes_to_standard_output(self):
        result = report("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"usage: clockgap-report", result.stdout)
        self.assertIn(b"--stall MS", result.stdout)

    def test_logs_that_cannot_be_read_say_why(self):
        with tempfile.TemporaryDirectory() as d:
            cases = [(os.path.join(d, "missing.log"), b"cannot read", b"No such file or directory"),
                     (d, d.encode(), b"holds no clockgap log")]
            for path, what, reason in cases:
                with self.subTest(path=path):
                    result = report(path)
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(what, result.stderr)
                    self.assertIn(reason, result.stderr)

    @unittest.skipIf(ON_WINDOWS, "/dev/full is Linux's")
    def test_an_output_that_cannot_be_written_is_not_success(self):
        for args in ((), ("--json",), ("--csv",)):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                result = subprocess.run(WRAPPER + [REPORT, *args], input=LOG.encode(), stdout=full,
                                        stderr=subprocess.PIPE, timeout=10)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
            self.assertIn(b"standard output could not be written (No space left", result.stderr)

    def test_never_crashes_on_junk(self):
        junk = bytes(range(256)) * 40
        result = report(stdin=f"{harness.HEADER}\n".encode() + junk)
        self.assertEqual(result.returncode, 1)


class CommandLine(unittest.TestCase):
    def test_options_take_their_value_either_way(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            for spaced, joined in ((("--stall", "20"), ("--stall=20",)),
                                   (("--from", "2026-12-07T07:37:53Z"),
                                    ("--from=2026-12-07T07:37:53Z",)),
                                   # An offset from UTC names the same moment.
                                   (("--from", "2026-12-07T07:37:53Z"),
                                    ("--from", "2026-12-07T08:37:53+01:00"))):
                with self.subTest(joined=joined):
                    a, b = report("--json", *spaced, log), report("--json", *joined, log)
                    self.assertEqual((a.returncode, b.returncode), (0, 0), b.stderr)
                    self.assertEqual(json.loads(a.stdout), json.loads(b.stdout))

    def test_a_typo_is_answered_with_the_nearest_option(self):
        for typo, meant in (("--stal=20", "--stall"), ("--jsno", "--json"),
                            ("--follw", "--follow"), ("--htm", "--html")):
            with self.subTest(typo=typo):
                result = report(typo, stdin=LOG.encode())
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertIn(f"did you mean {meant}?".encode(), result.stderr)

    def test_version_names_the_build(self):
        result = report("--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout.decode(),
                         r"^clockgap-report \d+\.\d+\.\d+\nbuilt with .+ for "
                         r"(Linux|Windows x86-64)\n$")

    def test_bytes_of_no_log_are_shown_escaped_and_the_input_named(self):
        import gzip
        # A log compressed with gzip is read as its text.
        self.assertEqual(report(stdin=gzip.compress(LOG.encode())).stdout,
                         report(stdin=LOG.encode()).stdout)
        cases = [("binary", b"\x1b[2J\x1b]0;owned\x07\x00\x01" + LOG.encode(),
                  b"it holds binary bytes")]
        for what, data, why in cases:
            with self.subTest(what):
                result = report(stdin=data)
                self.assertNotIn(b"\x1b", result.stderr)
                self.assertNotIn(b"\x07", result.stderr)
                self.assertEqual(result.stderr.count(b"does not look like a clockgap log"), 1)
                self.assertIn(why, result.stderr)
        self.assertIn(b"'\\x1b[2J\\x1b]0;owned\\x07", report(stdin=cases[0][1]).stderr)

    @unittest.skipIf(ON_WINDOWS, "SIGPIPE is Linux's")
    def test_a_reader_that_has_gone_ends_the_report_quietly(self):
        for args in (("--json",), ("--csv",), ()):
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                os.close(read_end)
                result = subprocess.run(WRAPPER + [REPORT, *args, os.path.join(DOCS, "hour.log")],
                                        stdout=write_end, stderr=subprocess.PIPE, timeout=60)
                os.close(write_end)
                self.assertEqual((result.returncode, result.stderr), (-signal.SIGPIPE, b""))

    def test_the_monitors_pause_moves_the_default_threshold_not_the_users(self):
        # clockgap 10: every gap is the pause of 10 ms and a little; one row holds a
        # hold-up of 25 ms.
        counts = [0, 0, 0, 0, 0, 99] + [0] * 8
        rows = [row_line(f"2026-12-07 07:00:{s:02d}", counts=counts, min_gap=10_050_000,
                         max_gap=25_000_000 if s == 3 else 10_090_000) for s in range(1, 6)]
        log = ("Sleep period adjusted to 10 ms\nStarting at 07:00:00.144\n" + harness.HEADER +
               "\n" + "\n".join(rows) + "\n").encode()
        for args, threshold, stalls in (((), 20, 1), (("--stall", "10"), 10, 5)):
            with self.subTest(args=args):
                doc = json.loads(report("--json", *args, stdin=log).stdout)
                self.assertEqual((doc["stalls"]["threshold_ns"], doc["stalls"]["rows"]),
                                 (threshold * 1_000_000, stalls))
        text = report(stdin=log).stdout.decode()
        self.assertIn("Stalls (gaps of 20 ms or more; the default: 10 ms more than the "
                      "monitor's pause of 10 ms): in 1 row", text)


@unittest.skipIf(ON_WINDOWS, "terminals and signals are Linux matters")
class Interactive(unittest.TestCase):
    def test_a_terminal_as_input_is_refused_at_once(self):
        import pty
        leader, follower = pty.openpty()
        try:
            result = subprocess.run(WRAPPER + [REPORT], stdin=follower, capture_output=True, timeout=10)
        finally:
            os.close(leader)
            os.close(follower)
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"standard input is a terminal", result.stderr)

    def test_ctrl_c_or_sigterm_ends_the_input_and_the_summary_comes(self):
        for sig, words in ((signal.SIGINT, "Ctrl-C"), (signal.SIGTERM, "SIGTERM")):
            with self.subTest(signal=words):
                proc = subprocess.Popen(WRAPPER + [REPORT, "--json"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    proc.stdin.write(LOG.encode())
                    proc.stdin.flush()
                    time.sleep(0.5)
                    proc.send_signal(sig)  # the writer still holds the pipe open
                    out, err = proc.communicate(timeout=10)
                finally:
                    proc.kill()
                self.assertEqual(proc.returncode, 0, err)
                doc = json.loads(out)
                self.assertEqual((doc["ended_by"], doc["interrupted"], doc["rows"]),
                                 (words, True, 6))

    def test_a_second_ctrl_c_ends_it_at_once(self):
        # A CSV far larger than a pipe holds, into a pipe nobody reads: the report blocks
        # on its output, so the first Ctrl-C cannot end it, and the second must.
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "long.log")
            with open(log, "w") as f:
                subprocess.run([sys.executable, os.path.join(BENCH, "week_log.py"),
                                "--seconds", "3000"], stdout=f, check=True)
            proc = subprocess.Popen(WRAPPER + [REPORT, "--csv", log], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
            try:
                import fcntl
                import termios
                waiting = bytearray(4)
                deadline = time.time() + 10
                while time.time() < deadline:  # until the pipe is full
                    fcntl.ioctl(proc.stdout.fileno(), termios.FIONREAD, waiting)
                    if int.from_bytes(waiting, sys.byteorder) >= 60_000:
                        break
                    time.sleep(0.05)
                proc.send_signal(signal.SIGINT)
                time.sleep(0.5)
                self.assertIsNone(proc.poll(), "the first Ctrl-C only ends the input")
                proc.send_signal(signal.SIGINT)
                proc.wait(timeout=10)
            finally:
                proc.kill()
                proc.stdout.close()
        self.assertEqual(proc.returncode, -signal.SIGINT)


@unittest.skipIf(ON_WINDOWS, "gnuplot is tested on Linux")
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

    def test_the_svg_draws_a_mark_for_each_clock_event(self):
        # gnuplot draws each point as a <use> of its point shape: the log with events has
        # three marks (a set back and a gap above 5 s in one column, a gap above 5 s in
        # another), and the same log without its events none.
        quiet = "\n".join(line if not line[:1].isdigit() else
                          row_line(line[:19], max_gap=300_000) for line in LOG.splitlines())
        points = {}
        with tempfile.TemporaryDirectory() as d:
            for name, text in (("events", LOG), ("quiet", quiet + "\n")):
                picture = os.path.join(d, name + ".svg")
                result = report("--plot", picture, write_log(d, text, name=name + ".log"))
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(picture) as f:
                    svg = f.read()
                points[name] = len(re.findall(r"<use xlink:href='#gpPt\d+' transform=", svg))
                if name == "events":
                    for shown in ("clock set back", "gap above 5 s", "out_to_lunch",
                                  "worst gap", "6 rows"):
                        self.assertIn(shown, svg)
        # Three marks and the two legend samples; none where there is no event.
        self.assertEqual(points, {"events": 5, "quiet": 0})

    def test_without_gnuplot_the_summary_still_comes(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            result = report("--plot", os.path.join(d, "run.png"), log, env={"PATH": d})
            self.assertEqual(result.returncode, 3)
            self.assertIn(b"apt-get install gnuplot-nox", result.stderr)
            self.assertIn(b"Rows:        6, from", result.stdout)
            self.assertFalse(os.path.exists(os.path.join(d, "run.png")))

    def test_a_plot_that_fails_keeps_the_picture_there_before(self):
        folder = harness.small_tmpfs(self)
        picture = os.path.join(folder, "run.png")
        with open(picture, "wb") as f:
            f.write(b"the picture drawn before")
        harness.fill(folder)
        result = report("--plot", picture, os.path.join(DOCS, "hour.log"))
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn(b"gnuplot could not draw", result.stderr)
        with open(picture, "rb") as f:
            self.assertEqual(f.read(), b"the picture drawn before")
        self.assertEqual(sorted(os.listdir(folder)), ["filler", "run.png"])

    def test_too_few_rows_for_a_picture(self):
        with tempfile.TemporaryDirectory() as d:
            for text in (run_log("07:00:00", 1), f"{harness.HEADER}\n"):
                with self.subTest(text=text[:20]):
                    picture = os.path.join(d, "run.png")
                    result = report("--plot", picture, write_log(d, text))
                    self.assertEqual(result.returncode, 3)
                    self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                    self.assertIn(b"too few rows for a picture", result.stderr)
                    self.assertFalse(os.path.exists(picture))


DOCS = os.path.join(os.path.dirname(__file__), "..", "..", "docs")
CHROMIUM = shutil.which("chromium")
NATIVE_REPORT = os.path.join(os.path.dirname(os.environ.get("CLOCKGAP_NATIVE", "")),
                             "clockgap-report")


def browser(directory, *args):
    """Debian's chromium, headless, with a profile of its own in `directory`."""
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", "--no-first-run",
                           f"--user-data-dir={os.path.join(directory, 'profile')}", *args],
                          capture_output=True, timeout=180, check=True)


def cell_colours(page):
    """The colours of the heat map's cells in a page, with how many cells have each."""
    counts = {}
    for colour in re.findall(r'<use href="#cell" [^>]*fill="(#[0-9a-f]{6})"><title>', page):
        counts[colour] = counts.get(colour, 0) + 1
    return counts


def week_log(directory):
    path = os.path.join(directory, "week.log")
    with open(path, "w") as f:
        subprocess.run([sys.executable, os.path.join(BENCH, "week_log.py")], stdout=f,
                       check=True)
    return path


class Page(unittest.TestCase):
    @unittest.skipIf(WRAPPER or not CHROMIUM,
                     "rendered by chromium, of this machine's page (others are compared to it)")
    def test_a_browser_shows_the_heat_map_and_the_rows(self):
        with tempfile.TemporaryDirectory() as d:
            for log in (os.path.join(DOCS, "minute.log"), week_log(d)):
                with self.subTest(log=os.path.basename(log)):
                    page = os.path.join(d, "page.html")
                    self.assertEqual(report("--html", page, log).returncode, 0)
                    rows = json.loads(report("--json", log).stdout)["rows"]
                    self.assertLessEqual(os.path.getsize(page), 2_000_000)
                    with open(page) as f:
                        fills = cell_colours(f.read())
                    url = "file://" + page
                    dom = browser(d, "--dump-dom", url).stdout.decode()
                    self.assertIn(f"<dd>{rows}</dd>", dom)
                    self.assertIn(f"clockgap: {rows} rows", dom)
                    shots = {}
                    for scheme, flags in (("light", []),
                                          ("dark", ["--blink-settings=preferredColorScheme=0"])):
                        shot = os.path.join(d, f"{scheme}.png")
                        browser(d, "--window-size=1400,1100", f"--screenshot={shot}", *flags, url)
                        shots[scheme] = harness.colour_counts(shot)
                    # The cells show in their own colours, in either theme; the page's
                    # background is the theme's.
                    for scheme, colours in shots.items():
                        shown = [c for c in fills if colours.get(c, 0) > 0]
                        self.assertGreater(sum(colours[c] for c in shown), 5000, scheme)
                        self.assertGreaterEqual(len(shown), min(len(fills), 5), scheme)
                    self.assertGreater(shots["light"].get("#ffffff", 0), 500_000)
                    self.assertGreater(shots["dark"].get("#15171b", 0), 500_000)

    @unittest.skipIf(WRAPPER or not CHROMIUM,
                     "printed by chromium, of this machine's page (others are compared to it)")
    def test_the_picture_prints_on_one_landscape_page_whatever_the_name(self):
        with tempfile.TemporaryDirectory() as d:
            # The log's own name, and one of more than 200 characters without a space.
            deep = os.path.join(d, *(["a_folder_with_a_long_name_" + "x" * 30] * 4))
            os.makedirs(deep)
            long_name = shutil.copy(os.path.join(DOCS, "hour.log"),
                                    os.path.join(deep, "hour-" + "y" * 40 + ".log"))
            self.assertGreater(len(long_name), 200)
            for log in (os.path.join(DOCS, "hour.log"), long_name):
                with self.subTest(length=len(log)):
                    page, pdf = os.path.join(d, "page.html"), os.path.join(d, "page.pdf")
                    self.assertEqual(report("--html", page, log).returncode, 0)
                    browser(d, "--no-pdf-header-footer", f"--print-to-pdf={pdf}",
                            "file://" + page)
                    info = subprocess.run(["pdfinfo", pdf], capture_output=True,
                                          text=True).stdout
                    width, height = map(float, re.search(r"Page size:\s+([\d.]+) x ([\d.]+)",
                                                         info).groups())
                    self.assertGreater(width, height)
                    first = subprocess.run(["pdftotext", "-f", "1", "-l", "1", pdf, "-"],
                                           capture_output=True, text=True).stdout
                    for text in ("3625 rows", "worst gap", "out_to_lunch", "gaps in a cell",
                                 "upper limit", "stretches without rows"):
                        self.assertIn(text, first)

    @unittest.skipIf(ON_WINDOWS or not shutil.which("gnuplot"), "gnuplot is tested on Linux")
    def test_both_pictures_show_the_same_cells_in_the_same_colours(self):
        with tempfile.TemporaryDirectory() as d:
            page, svg = os.path.join(d, "run.html"), os.path.join(d, "run.svg")
            result = report("--html", page, "--plot", svg, os.path.join(DOCS, "hour.log"))
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(page) as f:
                cells = cell_colours(f.read())
            with open(svg) as f:
                drawn = {"#%02x%02x%02x" % tuple(map(int, rgb)) for rgb in
                         re.findall(r"rgb\(\s*(\d+),\s*(\d+),\s*(\d+)\)", f.read())}
            self.assertGreater(len(cells), 20)
            self.assertEqual(set(cells) - drawn, set())

    def test_a_page_for_every_log_and_none_for_wrong_names(self):
        with tempfile.TemporaryDirectory() as d:
            log = write_log(d, LOG)
            for args in (("--html", os.path.join(d, "run.txt"), log), ("--html", log),
                         ("--html",), ("--html", os.path.join(d, "missing", "run.html"), log),
                         ("--html", d, log)):
                with self.subTest(args=args):
                    result = report(*args)
                    self.assertEqual(result.returncode, 2)
                    self.assertEqual(result.stdout, b"")
            self.assertEqual(sorted(os.listdir(d)), ["run.log"])
            # Too few rows for a picture: the page comes with the figures and says so.
            for text, rows in ((run_log("07:00:00", 1), 1), (f"{harness.HEADER}\n", 0)):
                with self.subTest(rows=rows):
                    page = os.path.join(d, "few.htm")
                    result = report("--html", page, write_log(d, text))
                    self.assertEqual(result.returncode, 0, result.stderr)
                    with open(page, encoding="utf-8") as f:
                        html = f.read()
                    self.assertIn(f"<dt>rows</dt><dd>{rows}</dd>", html)
                    self.assertIn("Too few rows for a picture", html)
                    self.assertNotIn("<svg", html)

    @unittest.skipIf(ON_WINDOWS, "a tmpfs is Linux's")
    def test_a_page_that_cannot_be_written_is_not_success_and_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            log = shutil.copy(os.path.join(DOCS, "hour.log"), d)
            full = harness.small_tmpfs(self)
            harness.fill(full)
            result = report("--html", os.path.join(full, "hour.html"), log)
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"cannot write", result.stderr)
            self.assertFalse([n for n in os.listdir(full) if n.startswith("hour.htm")])

    @unittest.skipUnless(ON_WINDOWS and os.path.exists(NATIVE_REPORT),
                         "compares the Windows program with the Linux one")
    def test_the_windows_program_writes_the_same_page(self):
        with tempfile.TemporaryDirectory() as d:
            shutil.copy(os.path.join(DOCS, "minute.log"), d)
            write_log(d, LOG, name="events.log")
            for name in ("minute.log", "events.log"):
                with self.subTest(log=name):
                    pages = []
                    for program in (WRAPPER + [os.path.abspath(REPORT)], [NATIVE_REPORT]):
                        page = f"{len(pages)}.html"
                        subprocess.run(program + ["--html", page, name], cwd=d,
                                       capture_output=True, timeout=120, check=True)
                        with open(os.path.join(d, page), "rb") as f:
                            pages.append(f.read())
                    self.assertIn(b"<svg", pages[0])
                    self.assertEqual(pages[0], pages[1])


@unittest.skipIf(bool(WRAPPER),
                 "measured on this machine: under an emulator the peak is the emulator's")
class Memory(unittest.TestCase):
    def peak_kib(self, seconds, directory):
        path = os.path.join(directory, f"{seconds}.log")
        with open(path, "w") as f:
            subprocess.run([sys.executable, os.path.join(BENCH, "week_log.py"), "--seconds",
                            str(seconds)], stdout=f, check=True)
        code = ("import resource, subprocess, sys; "
                "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True); "
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
        out = subprocess.run([sys.executable, "-c", code, REPORT, path], capture_output=True,
                             check=True, timeout=120)
        return int(out.stdout)

    def test_a_day_takes_the_memory_of_an_hour(self):
        with tempfile.TemporaryDirectory() as d:
            hour, day = self.peak_kib(3600, d), self.peak_kib(86400, d)
        self.assertLess(day - hour, 2048, (hour, day))


if __name__ == "__main__":
    unittest.main()
