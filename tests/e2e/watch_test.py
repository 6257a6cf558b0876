"""clockgap-report --follow end to end: event lines as rows arrive, bad lines skipped, day
files, the Prometheus file read by a real node_exporter and a real Prometheus server, the
alert rules, and the faults a long watch meets."""

import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from report_test import LOG, REPORT, row_line  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from service_cpu import cpu_seconds  # noqa: E402

wait_for = harness.wait_for

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")
RULES = os.path.join(SOURCE, "contrib", "prometheus", "clockgap-rules.yml")


class Watch:
    """clockgap-report --follow with a pipe as its input, read line by line."""

    def __init__(self, *args, **popen):
        popen.setdefault("stdin", subprocess.PIPE)
        self.proc = subprocess.Popen([REPORT, "--follow", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **popen)
        self.pending = b""

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def line(self, timeout=5.0):
        deadline = time.time() + timeout
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.proc.stdout], [], [], deadline - time.time())
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def finish(self):
        if self.proc.stdin:
            self.proc.stdin.close()
        out = self.pending + self.proc.stdout.read()
        err = self.proc.stderr.read()
        self.proc.wait(timeout=10)
        return out.decode(), err.decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream and not stream.closed:
                stream.close()


def rows(*row_args):
    return "".join(row_line(*args[0], **args[1]) + "\n" for args in row_args)


# Rows sent by a test are not a live monitor's: their cause is never named.
UNKNOWN = "; cause: unknown, no figures of this machine were taken for it"


class Events(unittest.TestCase):
    def test_each_event_is_reported_when_its_row_arrives(self):
        c_back = [1, 500_000] + [0] * 12
        c_lunch = [0, 500_000] + [0] * 11 + [1]
        c_stall = [0, 500_000] + [0] * 5 + [1] + [0] * 6
        cases = [
            (rows((("2026-12-07 07:00:02",), dict(counts=c_back, min_gap=-2_000_000_000))),
             "07:00:02.000 (line 4): clock set back by 2.000 s (1 negative gap)" + UNKNOWN),
            (rows((("2026-12-07 07:00:09",), dict(counts=c_lunch, max_gap=6_500_000_000,
                                                 diff_report=7_000_000_000))),
             "07:00:09.000 (line 5): clock set forward or process held up: a gap of 6.500 s "
             "(1 above 5 s); stall: a gap of 6.500 s (threshold 10.00 ms); 7.000 s without a row"
             + UNKNOWN),
            (rows((("2026-12-07 07:00:10",), dict(counts=c_stall, max_gap=66_480_000))),
             "07:00:10.000 (line 6): stall: a gap of 66.48 ms (threshold 10.00 ms)" + UNKNOWN),
            (rows((("2026-12-07 07:00:11",), dict(latency=250_000_000))),
             "07:00:11.000 (line 7): the row before took 250.00 ms to write"),
        ]
        with Watch() as watch:
            watch.send(f"Starting at 07:00:00.144\n{harness.HEADER}\n")
            watch.send(rows((("2026-12-07 07:00:01",), {})))  # a quiet row: no line
            for text, expected in cases:
                watch.send(text)
                self.assertEqual(watch.line(), "2026-12-07 " + expected)
            out, err = watch.finish()
        self.assertEqual(watch.proc.returncode, 0, err)
        self.assertIn("Rows:        5, from", out)

    def test_a_stall_threshold_of_its_own(self):
        c = [0, 500_000] + [0] * 6 + [1] + [0] * 5
        with Watch("--alert", "200") as watch:
            watch.send(f"{harness.HEADER}\n" + rows((("2026-12-07 07:00:01",),
                                                     dict(counts=c, max_gap=150_000_000))))
            watch.send(rows((("2026-12-07 07:00:02",),
                             dict(counts=[0, 9, 0, 0, 0, 0, 0, 0, 0, 1] + [0] * 4,
                                  max_gap=250_000_000))))
            self.assertIn("(line 3): stall: a gap of 250.00 ms (threshold 200.00 ms)",
                          watch.line())
            out, _ = watch.finish()
        self.assertIn("Stalls (gaps of 200 ms or more): in 1 row", out)

    def test_bad_and_cut_lines_are_skipped_and_the_watch_goes_on(self):
        with Watch() as watch:
            watch.send(f"{harness.HEADER}\nnot a row\n" + "x" * 5000 + "\n")
            watch.send(rows((("2026-12-07 07:00:01",), dict(latency=200_000_000))))
            self.assertIn("(line 4): the row before took", watch.line())
            watch.send("2026-12-07 07:00:02,000,10")
            out, err = watch.finish()
        self.assertEqual(watch.proc.returncode, 0, err)
        self.assertIn("line 2 has 1 fields where a row has 23: 'not a row'; skipped it", err)
        self.assertIn("line 3 is longer than any line clockgap writes", err)
        self.assertIn("line 5 is cut short", err)
        self.assertIn("Rows:        1, from", out)

    def test_output_gone_ends_the_watch_with_one_message(self):
        with Watch() as watch:
            watch.proc.stdout.close()
            watch.send(f"{harness.HEADER}\n" + rows((("2026-12-07 07:00:01",),
                                                     dict(latency=200_000_000))))
            watch.proc.wait(timeout=10)
            err = watch.proc.stderr.read().decode()
        self.assertEqual(watch.proc.returncode, 1)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("standard output is gone", err)

    def test_a_name_that_can_never_be_written_ends_it_before_reading(self):
        with tempfile.TemporaryDirectory() as d:
            cases = [("--log", os.path.join(d, "missing", "x"), b"No such file or directory"),
                     ("--log", d, b"it is a folder"),
                     ("--prometheus", d, b"it is a folder")]
            for option, path, reason in cases:
                with self.subTest(option=option, path=path):
                    result = subprocess.run([REPORT, "--follow", option, path],
                                            input=LOG.encode(), capture_output=True, timeout=10)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn(path.encode(), result.stderr)
                    self.assertIn(reason, result.stderr)
                    self.assertEqual(result.stdout, b"")

    def test_a_day_log_that_cannot_be_written_makes_the_status_1(self):
        result = subprocess.run([REPORT, "--follow", "--json", "--log", "/dev/full"],
                                input=LOG.encode(), capture_output=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.count(b"cannot write to /dev/full"), 1, result.stderr)
        # The watch went on: every row was read and summarised.
        self.assertEqual(json.loads(result.stdout.splitlines()[-1])["rows"], 6)


class Silence(unittest.TestCase):
    """The watch's own timer: it speaks while no row comes."""

    def test_a_stopped_monitor_is_named_while_it_is_stopped(self):
        monitor = subprocess.Popen([harness.BINARY, "1"], stdout=subprocess.PIPE)
        try:
            # Stalls of a busy test machine (12 ms under the sanitizers) are not this
            # test's events: only the stop's gap is above 1 s.
            with Watch("--alert", "1000", stdin=monitor.stdout) as watch:
                monitor.stdout.close()
                time.sleep(2.5)
                os.kill(monitor.pid, signal.SIGSTOP)
                stopped = time.time()
                line = watch.line(timeout=4.5)
                said = time.time() - stopped
                # The note came while the monitor was still stopped.
                self.assertIsNotNone(line, "nothing said during the stop")
                self.assertRegex(line, r"\(line \d+\): no row for \d\.\d\d\d s since this "
                                       r"row's time, and still none; cause: stopped, the "
                                       r"monitor was stopped \(a signal or a debugger\)$")
                print(f"\nnote {said:.3f} s after SIGSTOP: {line}", file=sys.stderr)
                time.sleep(max(0.0, stopped + 5.0 - time.time()))
                os.kill(monitor.pid, signal.SIGCONT)
                # More notes while the silence lasts (one at 4 s), then the rows return
                # with the gap of the stop.
                later = []
                while len(later) < 6 and not (later and "rows again" in later[-1]):
                    later.append(watch.line(timeout=5.0) or "")
                gap = watch.line(timeout=5.0)
                monitor.terminate()
                out, err = watch.finish()
        finally:
            os.kill(monitor.pid, signal.SIGCONT)
            monitor.kill()
            monitor.wait()
        self.assertTrue(all("no row for" in note for note in later[:-1]), later)
        self.assertRegex(later[-1], r"\(line \d+\): rows again, after \d+\.\d{3} s without one$")
        self.assertRegex(gap, r"\(line \d+\): .*a gap of [5-9]\.\d{3} s.*; cause: stopped, the "
                              r"monitor was stopped")
        self.assertIn("the input ended: the monitor stopped", out)
        self.assertEqual(watch.proc.returncode, 0, err)

    def test_a_long_silence_costs_no_cpu_and_the_end_is_seen(self):
        # A pipe silent for longer than the note of a file that does not grow (10 s):
        # the watch waits without spinning, and sees the end of its input when it comes.
        with Watch() as watch:
            watch.send(f"{harness.HEADER}\n" + row_line("2026-12-07 07:00:01") + "\n")
            time.sleep(12.0)
            cpu_s = cpu_seconds(watch.proc.pid)
            watch.proc.stdin.close()
            self.assertEqual(watch.proc.wait(timeout=5), 0)
        self.assertLess(cpu_s, 1.0, "the watch spun while its input was silent")

    def test_follow_json_is_one_object_a_line_as_it_happens(self):
        c_back = [1, 500_000] + [0] * 12
        with Watch("--json") as watch:
            watch.send(f"Starting at 07:00:00.144\n{harness.HEADER}\n")
            watch.send(rows((("2026-12-07 07:00:01",), dict(counts=c_back,
                                                            min_gap=-2_000_000_000))))
            first = json.loads(watch.line())
            silence = json.loads(watch.line(timeout=4.0))  # nothing sent for 2 s
            watch.send(rows((("2026-12-07 07:00:05",), dict(diff_report=4_000_000_000))))
            again = json.loads(watch.line())
            without = json.loads(watch.line())
            out, err = watch.finish()
        self.assertEqual(watch.proc.returncode, 0, err)
        self.assertEqual(first, {"event": "clock_set_back", "time": "2026-12-07T07:00:01.000Z",
                                 "line": 3, "step_ns": 2_000_000_000, "negative_gaps": 1,
                                 "cause": {"kind": "unknown"}})
        self.assertEqual((silence["event"], silence["line"]), ("no_row", 3))
        self.assertEqual(silence["cause"], {"kind": "unknown"})
        self.assertGreaterEqual(silence["silent_ms"], 2000)
        self.assertEqual((again["event"], again["line"]), ("rows_again", 4))
        self.assertGreaterEqual(again["silent_ms"], silence["silent_ms"])
        self.assertEqual((without["event"], without["diff_report_ns"]),
                         ("without_rows", 4_000_000_000))
        end, summary = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(end, {"event": "input_ended", "ended_by": "end of input"})
        self.assertEqual((summary["rows"], summary["ended_by"]), (2, "end of input"))

    def test_sigterm_is_named_as_such(self):
        with Watch() as watch:
            watch.send(f"{harness.HEADER}\n" + rows((("2026-12-07 07:00:01",), {})))
            time.sleep(0.3)
            watch.proc.send_signal(signal.SIGTERM)
            out = watch.proc.stdout.read().decode()
            watch.proc.wait(timeout=10)
        self.assertEqual(watch.proc.returncode, 0)
        self.assertIn("the watch was ended by SIGTERM\n", out)
        self.assertIn("Note: the input was ended by SIGTERM;", out)


class DayFiles(unittest.TestCase):
    def test_a_file_a_day_each_a_log_of_its_own(self):
        times = ["2026-12-07 23:59:58", "2026-12-07 23:59:59", "2026-12-08 00:00:00",
                 "2026-12-08 00:00:01"]
        text = (f"Starting at 23:59:57.500\n{harness.HEADER}\n" +
                "".join(row_line(t) + "\n" for t in times))
        with tempfile.TemporaryDirectory() as d:
            pattern = os.path.join(d, "run-%Y-%m-%d.log")
            result = subprocess.run([REPORT, "--follow", "--log", pattern], input=text.encode(),
                                    capture_output=True, timeout=10)
            self.assertEqual(result.returncode, 0, result.stderr)
            # Beside the days, the watch's lock on the folder (hidden).
            self.assertEqual(sorted(os.listdir(d)), [".clockgap-watch.lock", "run-2026-12-07.log",
                                                     "run-2026-12-08.log"])
            seen = []
            for name, day in (("run-2026-12-07.log", "12-07"), ("run-2026-12-08.log", "12-08")):
                with open(os.path.join(d, name)) as f:
                    lines = f.read().splitlines()
                self.assertEqual(lines[:2], ["Starting at 23:59:57.500", harness.HEADER])
                self.assertTrue(all(day in line for line in lines[2:]), lines)
                seen += lines[2:]
                alone = subprocess.run([REPORT, os.path.join(d, name)], capture_output=True)
                self.assertEqual(alone.returncode, 0, alone.stderr)
                self.assertIn(b"Rows:        2, from", alone.stdout)
            # Every row once, in order: none lost or doubled at midnight.
            self.assertEqual(seen, [row_line(t) for t in times])
            # Joined, the day files are the one run they came from; a log joined to
            # itself (its rows go back in time) is two.
            days = [os.path.join(d, n) for n in ("run-2026-12-07.log", "run-2026-12-08.log")]
            for files, runs in ((days, 1), (days[:1] * 2, 2)):
                joined = b"".join(open(f, "rb").read() for f in files)
                doc = json.loads(subprocess.run([REPORT, "--json"], input=joined,
                                                capture_output=True).stdout)
                self.assertEqual((doc["runs"]["count"], doc["rows"]), (runs, 2 * len(files)))


class FullDisk(unittest.TestCase):
    """A real full disk: a small tmpfs (the tests run as root)."""

    def setUp(self):
        self.dir = harness.small_tmpfs(self)

    def test_the_day_log_keeps_whole_lines_and_writes_again_when_space_comes(self):
        log = os.path.join(self.dir, "run.log")
        times = [f"2026-12-07 07:00:{s:02d}" for s in range(60)]
        with Watch("--log", log) as watch:
            watch.send(f"{harness.HEADER}\n" + row_line(times[0]) + "\n")
            self.assertTrue(wait_for(lambda: os.path.exists(log) or None, 5.0))
            filler = harness.fill(self.dir)
            # The log's last page has room for some rows, then one is cut by the full disk.
            watch.send("".join(row_line(t) + "\n" for t in times[1:50]))
            time.sleep(0.5)
            os.remove(filler)
            watch.send("".join(row_line(t) + "\n" for t in times[50:]))
            out, err = watch.finish()
        with open(log) as f:
            lines = f.read().split("\n")
        self.assertEqual(lines[-1], "", "the log ends with a whole line")
        logged = lines[1:-1]
        for line in logged:
            harness.Row(line)  # every line whole
        # Rows that found no room are lost whole; those after the space came are all there.
        self.assertLess(len(logged), 60)
        self.assertEqual(logged[-10:], [row_line(t) for t in times[50:]])
        self.assertEqual(err.count("cannot write to"), 1, err)
        self.assertEqual(err.count("lines reach"), 1, err)
        self.assertEqual(watch.proc.returncode, 1, err)
        self.assertIn("Rows:        60, from", out)


class PrometheusFile(unittest.TestCase):
    def watch_rows(self, directory, count, extra=()):
        path = os.path.join(directory, "clockgap.prom")
        lines = [row_line(f"2026-12-07 07:00:{s:02d}",
                          counts=[1 if s == 3 else 0, 500_000, 2] + [0] * 10 + [1 if s == 4 else 0],
                          min_gap=-5 if s == 3 else 200,
                          max_gap=6_000_000_000 if s == 4 else 2_500_000)
                 for s in range(1, count + 1)]
        return path, f"{harness.HEADER}\n" + "\n".join(lines) + "\n"

    def test_the_file_holds_the_logs_figures_and_promtool_finds_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            path, text = self.watch_rows(d, 5)
            result = subprocess.run([REPORT, "--follow", "--prometheus", path],
                                    input=text.encode(), capture_output=True, timeout=10)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(path, "rb") as f:
                content = f.read()
            self.assertEqual(os.listdir(d), ["clockgap.prom"])
        self.assertNotIn(b"\r", content)
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=content,
                                   capture_output=True)
            self.assertEqual((check.returncode, check.stdout, check.stderr), (0, b"", b""))
        text = content.decode()
        for expected in ('clockgap_gap_seconds_bucket{le="0.001999999"} 2500000',
                         'clockgap_gap_seconds_bucket{le="0.002999999"} 2500010',
                         'clockgap_gap_seconds_bucket{le="5.000999999"} 2500010',
                         'clockgap_gap_seconds_bucket{le="+Inf"} 2500011',
                         "clockgap_gap_seconds_count 2500011",
                         "clockgap_negative_gaps_total 1", "clockgap_clock_steps_back_total 1",
                         "clockgap_gaps_above_5s_total 1", "clockgap_rows_total 5",
                         "clockgap_last_row_timestamp_seconds 1796626805.000",
                         "clockgap_last_row_largest_gap_seconds 0.002500000",
                         "clockgap_row_write_seconds 0.000030000"):
            self.assertIn(expected + "\n", text)

    def test_a_missing_metrics_folder_spares_the_day_log_and_is_tried_again(self):
        with tempfile.TemporaryDirectory() as d:
            folder, log = os.path.join(d, "textfile"), os.path.join(d, "run.log")
            path = os.path.join(folder, "clockgap.prom")
            with Watch("--log", log, "--prometheus", path) as watch:
                watch.send(f"{harness.HEADER}\n" + row_line("2026-12-07 07:00:01") + "\n")
                self.assertTrue(wait_for(lambda: os.path.exists(log) or None, 5.0))
                os.mkdir(folder)
                watch.send(row_line("2026-12-07 07:00:02") + "\n")
                self.assertTrue(wait_for(lambda: os.path.exists(path) or None, 5.0))
                out, err = watch.finish()
            with open(path) as f:
                metrics = f.read()
            with open(log) as f:
                logged = f.read().splitlines()
        self.assertEqual(watch.proc.returncode, 0, err)
        self.assertEqual(err.count(f"cannot write {path} now"), 1, err)
        self.assertEqual(err.count(f"{path} is written again"), 1, err)
        self.assertIn("\nclockgap_rows_total 2\n", metrics)
        self.assertEqual(len(logged), 3)

    def test_a_reader_never_sees_part_of_the_file(self):
        with tempfile.TemporaryDirectory() as d:
            path, _ = self.watch_rows(d, 1)
            with Watch("--prometheus", path) as watch:
                watch.send(f"{harness.HEADER}\n" + row_line("2026-12-07 07:00:00") + "\n")
                self.assertTrue(wait_for(lambda: os.path.exists(path) or None, 10.0))
                versions = set()
                for s in range(1, 301):
                    watch.send(row_line(f"2026-12-07 07:{s // 60:02d}:{s % 60:02d}") + "\n")
                    # Read while the watch rewrites the file for this row: every read is a
                    # whole file, whichever version it is.
                    for _ in range(5):
                        with open(path) as f:
                            content = f.read()
                        self.assertTrue(content.startswith("# HELP clockgap_gap_seconds"))
                        self.assertRegex(content, r"\nclockgap_row_write_seconds [0-9.]+\n$")
                        versions.add(re.search(r"\nclockgap_rows_total (\d+)\n",
                                               content).group(1))
                out, _ = watch.finish()
        self.assertIn("Rows:        301, from", out)
        # The reads met the file while it was rewritten, again and again (a sanitized
        # watch falls behind the rows, so fewer versions are met than rows are sent).
        self.assertGreaterEqual(len(versions), 10, sorted(versions, key=int))

    def test_a_full_disk_leaves_the_previous_file_whole(self):
        with tempfile.TemporaryDirectory() as d:
            path, text = self.watch_rows(d, 3)
            previous = "# an earlier file, whole\nclockgap_rows_total 7\n"
            with open(path, "w") as f:
                f.write(previous)

            def small_files():
                # Every file this process writes stops at 512 bytes, as on a full disk.
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))

            result = subprocess.run([REPORT, "--follow", "--prometheus", path],
                                    input=text.encode(), capture_output=True, timeout=10,
                                    preexec_fn=small_files)
            with open(path) as f:
                self.assertEqual(f.read(), previous)
            self.assertEqual(os.listdir(d), ["clockgap.prom"])
        # The last write failed: the file is behind, and the status says so.
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr.count(b"cannot write"), 1, result.stderr)
        self.assertIn(b"the previous file stays", result.stderr)


free_port = harness.free_port
http_get = harness.http_get


@unittest.skipUnless(shutil.which("prometheus") and shutil.which("prometheus-node-exporter"),
                     "needs prometheus and prometheus-node-exporter")
class Fleet(unittest.TestCase):
    """The watch's file through a real node_exporter, scraped by a real Prometheus."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.procs = []
        self.addCleanup(self.stop_all)

    def start(self, *command):
        proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                cwd=self.dir.name)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in self.procs:
            proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def start_prometheus(self, *targets):
        """A Prometheus server that loads the shipped rules and scrapes `targets` every
        second, evaluating every second; returns its port."""
        port = free_port()
        config = os.path.join(self.dir.name, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    f"rule_files: ['{os.path.abspath(RULES)}']\n"
                    "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                    f"      - targets: {list(targets)}\n")
        self.start("prometheus", f"--config.file={config}",
                   f"--storage.tsdb.path={os.path.join(self.dir.name, 'data')}",
                   f"--web.listen-address=127.0.0.1:{port}")
        return port

    def test_node_exporter_and_prometheus_serve_the_logs_figures(self):
        folder = os.path.join(self.dir.name, "textfile")
        os.mkdir(folder)
        text = (f"Starting at 07:37:50.144\n{harness.HEADER}\n" +
                "\n".join(LOG.splitlines()[3:]) + "\n")
        result = subprocess.run([REPORT, "--follow", "--prometheus",
                                 os.path.join(folder, "clockgap.prom")],
                                input=text.encode(), capture_output=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)

        exporter_port = free_port()
        self.start("prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{exporter_port}",
                   "--collector.disable-defaults", "--collector.textfile",
                   f"--collector.textfile.directory={folder}")
        metrics = wait_for(lambda: http_get(f"http://127.0.0.1:{exporter_port}/metrics"))
        self.assertIsNotNone(metrics, "node_exporter did not answer")
        # node_exporter writes every value as a float.
        values = {name: float(value) for name, value in
                  re.findall(r"^(clockgap_\S+) (\S+)$", metrics, re.MULTILINE)}
        self.assertEqual(values["clockgap_rows_total"], 6)
        self.assertEqual(values["clockgap_negative_gaps_total"], 1)
        self.assertEqual(values["clockgap_gaps_above_5s_total"], 2)
        self.assertEqual(values['clockgap_gap_seconds_bucket{le="+Inf"}'], 3066192)
        self.assertEqual(values["clockgap_last_row_timestamp_seconds"], 1796629082)
        self.assertIn("node_textfile_scrape_error 0", metrics)

        prometheus_port = self.start_prometheus(f"127.0.0.1:{exporter_port}")

        def query(expression):
            url = (f"http://127.0.0.1:{prometheus_port}/api/v1/query?query=" +
                   urllib.parse.quote(expression))
            answer = json.loads(http_get(url))
            found = answer["data"]["result"]
            return found[0]["value"][1] if found else None

        self.assertEqual(wait_for(lambda: query("clockgap_rows_total")), "6")
        self.assertEqual(query("clockgap_clock_steps_back_total"), "1")
        self.assertEqual(query("clockgap_gap_seconds_count"), "3066192")
        # The 99th-percentile gap per host, from the histogram, lies in the first bucket.
        p99 = float(query("histogram_quantile(0.99, sum by (instance, le) "
                          "(clockgap_gap_seconds_bucket))"))
        self.assertLessEqual(p99, 0.001999999)
        # The rules load: the one for a monitor that stopped reporting is among them.
        rules = json.loads(http_get(f"http://127.0.0.1:{prometheus_port}/api/v1/rules"))
        names = [r["name"] for g in rules["data"]["groups"] for r in g["rules"]]
        self.assertEqual(sorted(names), ["ClockgapClockStepped", "ClockgapHoldUp",
                                         "ClockgapSharedClockStep", "ClockgapSharedHoldUp",
                                         "ClockgapStoppedReporting"])


    def test_prometheus_scrapes_the_watch_itself(self):
        # --listen scraped by a real Prometheus, with the labels a scrape gives: the same
        # series as the file, the target up, a stall counted, the rules loaded.
        port = free_port()
        metrics = os.path.join(self.dir.name, "clockgap.prom")
        with Watch("--listen", f"127.0.0.1:{port}", "--prometheus", metrics) as w:
            served_at(w)
            w.send(f"Starting at 07:00:00.144\n{harness.HEADER}\n" + rows(
                *[((f"2026-12-07 07:00:{s:02d}",),
                   {"max_gap": 50_000_000 if s == 2 else 2_500_000}) for s in range(1, 4)]))
            wait_for(lambda: "clockgap_rows_total 3" in text_of(metrics) or None, 10)
            prometheus_port = self.start_prometheus(f"127.0.0.1:{port}")
            api = f"http://127.0.0.1:{prometheus_port}/api/v1"

            def query(expression):
                answer = json.loads(http_get(f"{api}/query?query=" +
                                             urllib.parse.quote(expression)))
                return {r["metric"].get("__name__", ""): r["value"][1]
                        for r in answer["data"]["result"]}

            stalls = 'sum(clockgap_stall_rows_total{job="node"})'
            self.assertEqual(wait_for(lambda: query(stalls) or None, 60), {"": "1"})
            self.assertEqual(query(f'up{{instance="127.0.0.1:{port}"}}'), {"up": "1"})
            scraped = set(query('count by (__name__) ({__name__=~"clockgap_.*"})'))
            in_file = set(re.findall(r"^(clockgap_\w+)", text_of(metrics), re.M))
            self.assertEqual(scraped, in_file)
            rules = json.loads(http_get(f"{api}/rules"))["data"]["groups"]
            self.assertEqual(len([r for g in rules for r in g["rules"]]), 5)
            w.finish()

    def start_host(self, name):
        """A monitored host: clockgap 1 into the watch, and a node_exporter reading its
        metrics folder on a free port. Returns the monitor, and the exporter's address."""
        folder = os.path.join(self.dir.name, name)
        os.mkdir(folder)
        monitor = subprocess.Popen([harness.BINARY, "1"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        self.procs.append(monitor)
        watch = subprocess.Popen([REPORT, "--follow", "--prometheus",
                                  os.path.join(folder, "clockgap.prom")], stdin=monitor.stdout,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        monitor.stdout.close()
        self.procs.append(watch)
        address = f"127.0.0.1:{free_port()}"
        self.start("prometheus-node-exporter", f"--web.listen-address={address}",
                   "--collector.disable-defaults", "--collector.textfile",
                   f"--collector.textfile.directory={folder}")
        return monitor, address

    def test_hosts_held_up_raise_their_alerts_and_the_fleets_and_no_other_host_does(self):
        # Two hosts held up at once, a third left alone: one Prometheus sees all three.
        hosts = [self.start_host(name) for name in ("one", "two", "quiet")]
        held, quiet_at = hosts[:2], hosts[2][1]
        held_at = sorted(address for _, address in held)
        prometheus_port = self.start_prometheus(*(address for _, address in hosts))
        api = f"http://127.0.0.1:{prometheus_port}/api/v1"

        def query(expression):
            answer = json.loads(http_get(f"{api}/query?query=" + urllib.parse.quote(expression)))
            return {r["metric"].get("instance"): float(r["value"][1])
                    for r in answer["data"]["result"]}

        def all_scraped():
            rows = query("clockgap_rows_total")
            return rows if len(rows) == 3 and min(rows.values()) >= 3 else None

        self.assertIsNotNone(wait_for(all_scraped, 60.0), "the hosts were not scraped")
        for monitor, _ in held:
            os.kill(monitor.pid, signal.SIGSTOP)
        time.sleep(7)
        for monitor, _ in held:
            os.kill(monitor.pid, signal.SIGCONT)

        def firing():
            alerts = json.loads(http_get(f"{api}/alerts"))["data"]["alerts"]
            found = {(a["labels"]["alertname"], a["labels"].get("instance")): a
                     for a in alerts if a["state"] == "firing"}
            expected = {(name, at) for at in held_at
                        for name in ("ClockgapClockStepped", "ClockgapHoldUp")}
            expected |= {("ClockgapSharedHoldUp", None), ("ClockgapSharedClockStep", None)}
            return found if expected <= found.keys() else None

        found = wait_for(firing, 60.0)
        self.assertIsNotNone(found, "no alert for the held hosts or for the fleet")
        # A busy test machine may really hold the quiet host up for 100 ms, so only the
        # hold-up alert may name it too; nothing else.
        self.assertEqual({f for f in found if f[1] == quiet_at} - {("ClockgapHoldUp", quiet_at)},
                         set())
        # The fleet's alerts name no instance, and the hosts that stepped together.
        for name in ("ClockgapSharedHoldUp", "ClockgapSharedClockStep"):
            alert = found[(name, None)]
            self.assertNotIn("instance", alert["labels"])
            self.assertRegex(alert["annotations"]["summary"], r"^[23] hosts of ")
        step = found[("ClockgapSharedClockStep", None)]
        self.assertTrue(step["annotations"]["summary"].startswith("2 hosts of "), step)
        self.assertIn(" ".join(held_at), step["annotations"]["description"])
        # The worst gap of 99 % of the seconds, per host, from the histogram of each
        # row's largest gap: the held hosts' lie above 5 s, the other's far below.
        p99 = query("histogram_quantile(0.99, sum by (instance, le) "
                    "(increase(clockgap_row_largest_gap_seconds_bucket[1m])))")
        for at in held_at:
            self.assertGreaterEqual(p99[at], 5.0)
        self.assertLess(p99[quiet_at], 5.0)


def text_of(path):
    with open(path) as f:
        return f.read()


def served_at(watch):
    """The URL a watch started with --listen says it serves, from its first line on
    standard error."""
    line = watch.proc.stderr.readline().decode()
    found = re.search(r"served at (http://\S+)", line)
    assert found, line
    return found.group(1)


def http_raw(port, request, timeout=5.0):
    """What the server at 127.0.0.1:`port` answers to `request` (bytes), whole."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return answer


class Listen(unittest.TestCase):
    """--listen: the figures of the metrics file over HTTP, and what abuse of the port
    meets."""

    def test_each_scrape_gets_the_files_text_as_of_its_last_row(self):
        with tempfile.TemporaryDirectory() as d, \
                Watch("--listen", "127.0.0.1:0", "--prometheus", os.path.join(d, "m.prom")) as w:
            url = served_at(w)
            # Before the first row: nothing yet, and the target is up.
            with urllib.request.urlopen(url, timeout=5) as response:
                self.assertEqual(response.status, 200)
                self.assertEqual(response.headers["Content-Type"],
                                 "text/plain; version=0.0.4; charset=utf-8")
                self.assertEqual(response.read(), b"")
            w.send(f"Starting at 07:00:00.144\n{harness.HEADER}\n")
            for second in range(1, 4):
                w.send(row_line(f"2026-12-07 07:00:{second:02d}",
                                max_gap=50_000_000 if second == 2 else 2_500_000) + "\n")
                self.assertIsNotNone(wait_for(lambda: f"clockgap_rows_total {second}\n" in
                                              text_of(os.path.join(d, "m.prom")) or None, 10))
                with open(os.path.join(d, "m.prom")) as f:
                    self.assertEqual(http_get(url), f.read())
            self.assertIn('clockgap_stall_rows_total{cause="unknown"} 1\n', http_get(url))
            _, err = w.finish()
            self.assertEqual(w.proc.returncode, 0, err)

    def test_paths_methods_and_clients_that_hold_on(self):
        with Watch("--listen", "0", "--stall", "10") as w:
            port = int(served_at(w).split(":")[-1].split("/")[0])
            cases = [  # (request, the status line's start, a header it must hold)
                (b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 200 ", b""),
                (b"GET /metrics?x=1 HTTP/1.0\r\n\r\n", b"HTTP/1.1 200 ", b""),
                (b"GET / HTTP/1.1\r\n\r\n", b"HTTP/1.1 404 ", b""),
                (b"GET /metricsx HTTP/1.1\r\n\r\n", b"HTTP/1.1 404 ", b""),
                (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b"HTTP/1.1 405 ",
                 b"Allow: GET, HEAD\r\n"),
                (b"DELETE /metrics HTTP/1.1\r\n\r\n", b"HTTP/1.1 405 ", b""),
                (b"nonsense\r\n\r\n", b"HTTP/1.1 400 ", b""),
                (b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n",
                 b"HTTP/1.1 431 ", b""),
            ]
            for request, status, header in cases:
                with self.subTest(request=request[:30]):
                    answer = http_raw(port, request)
                    self.assertTrue(answer.startswith(status), answer[:80])
                    self.assertIn(header, answer)
            head = http_raw(port, b"HEAD /metrics HTTP/1.1\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 ") and head.endswith(b"\r\n\r\n"))
            # More clients than the server's threads connect and say nothing: each is
            # closed by its deadline, and meanwhile the watch reports a stall the moment
            # its row comes.
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(8)]
            try:
                w.send(f"{harness.HEADER}\n" + row_line("2026-12-07 07:00:01",
                                                          max_gap=50_000_000) + "\n")
                started = time.monotonic()
                self.assertIn("stall", w.line(timeout=1.0) or "")
                self.assertLess(time.monotonic() - started, 1.0)
                for s in idle:
                    s.settimeout(30)
                    self.assertEqual(s.recv(100), b"")  # closed without an answer
            finally:
                for s in idle:
                    s.close()
            # And scrapes are served again.
            self.assertTrue(http_raw(port, b"GET /metrics HTTP/1.1\r\n\r\n").startswith(
                b"HTTP/1.1 200 "))
            _, err = w.finish()
        self.assertNotIn("cannot", err)

    def test_an_address_it_cannot_take(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            cases = [(f"127.0.0.1:{port}", 1, "cannot listen on 127.0.0.1:%d: Address already "
                      "in use" % port),
                     ("localhost:9101", 1, "localhost is not a numeric IPv4 or IPv6 address"),
                     ("::1:9101", 2, "an IPv6 address goes in brackets: [::1]:9101"),
                     ("127.0.0.1:70000", 2, "the port is a number from 1 to 65535"),
                     (":9101", 2, "an address before the colon")]
            for listen, status, said in cases:
                with self.subTest(listen=listen):
                    result = subprocess.run([REPORT, "--follow", "--listen", listen],
                                            input=b"", capture_output=True, timeout=10)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertIn(said, result.stderr.decode())


@unittest.skipUnless(shutil.which("promtool"), "needs promtool")
class Rules(unittest.TestCase):
    def test_the_rules_pass_promtool(self):
        result = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(b"SUCCESS: 5 rules found", result.stdout)

    def test_each_rule_fires_on_its_incident_and_only_then(self):
        # The cases are in the test file beside the rules: incidents, a quiet fleet,
        # clocks ahead and behind, vanished series and restarts of the watch.
        tests = RULES.replace(".yml", ".test.yml")
        result = subprocess.run(["promtool", "test", "rules", tests], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(b"SUCCESS", result.stdout)


class FollowedFile(unittest.TestCase):
    """A watch on a file that does not grow says so once, after 10 s, and how to read it
    to its end; its silence notes about rows days old count from when it read them."""

    def test_a_file_that_does_not_grow_is_said_once(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "old.log")
            with open(log, "w") as f:
                f.write(f"Starting at 00:00:00.144\n{harness.HEADER}\n" +
                        "".join(row_line(f"2026-10-01 00:00:{s:02d}") + "\n" for s in range(1, 6)))
            watch = subprocess.Popen([REPORT, "--follow", log], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
            started = time.monotonic()
            try:
                # The silence notes come at 2, 4 and 8 s after the last row, the file's
                # note at 10 s; then a quiet second more, for a second note that must not
                # come.
                lines = [watch.stdout.readline() for _ in range(3)]
                said = ""
                while "has not grown" not in said and time.monotonic() - started < 30:
                    said += watch.stderr.readline()
                time.sleep(1)
            finally:
                watch.send_signal(signal.SIGINT)
                _, err = watch.communicate(timeout=30)
            err = said + err
            self.assertGreaterEqual(time.monotonic() - started, 10, lines)
            self.assertEqual(err.count("has not grown for 10 s"), 1, err)
            self.assertIn(f"run clockgap-report {log}", err)
            for line in lines:
                self.assertIn("no new row for", line)
                self.assertIn("since the watch read this one", line)


class Pipeline(unittest.TestCase):
    def test_sigterm_to_the_pipeline_loses_no_row_that_reached_the_log(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "run.log")
            pipeline = subprocess.Popen(
                ["sh", "-c", '"$0" | "$1" --follow --log "$2"', harness.BINARY, REPORT, log],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
            time.sleep(3.5)
            os.killpg(pipeline.pid, signal.SIGTERM)
            out, err = pipeline.communicate(timeout=10)
            with open(log) as f:
                lines = f.read().split("\n")
        self.assertEqual(lines[-1], "", "the log ends with a whole line")
        logged = [line for line in lines if line[:1].isdigit()]
        self.assertGreaterEqual(len(logged), 2)
        for line in logged:
            harness.Row(line)
        # The watch read to the end of the pipe and summarised every row it logged.
        self.assertIn(f"Rows:        {len(logged)}, from".encode(), out, err)


class OwnMonitor(unittest.TestCase):
    """--monitor: the watch runs the monitor beside it and reads its rows."""

    def start(self, d):
        watch = subprocess.Popen([REPORT, "--follow", "--json", "--monitor", "1", "--log",
                                  os.path.join(d, "run-%Y-%m-%d.log")],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        self.addCleanup(lambda: watch.poll() is None and watch.kill())
        monitor = wait_for(lambda: next(
            (int(p) for p in os.listdir("/proc") if p.isdigit() and parent_of(p) == watch.pid),
            None), 10)
        self.assertIsNotNone(monitor)
        self.assertEqual(os.readlink(f"/proc/{monitor}/exe"), os.path.realpath(harness.BINARY))
        self.assertTrue(wait_for(lambda: harness.new_run_has_rows(day_text(d), 0) or None, 10))
        return watch, monitor

    def test_asked_to_end_it_ends_its_monitor_and_says_nothing_wrong(self):
        with tempfile.TemporaryDirectory() as d:
            watch, monitor = self.start(d)
            watch.send_signal(signal.SIGTERM)
            out, err = watch.communicate(timeout=10)
            self.assertEqual(watch.returncode, 0, err)
            self.assertFalse(os.path.exists(f"/proc/{monitor}"))
            self.assertEqual(json.loads(out.splitlines()[-1])["ended_by"], "SIGTERM")

    def test_a_monitor_that_ends_first_ends_the_watch_with_status_1(self):
        with tempfile.TemporaryDirectory() as d:
            watch, monitor = self.start(d)
            os.kill(monitor, signal.SIGKILL)
            _, err = watch.communicate(timeout=10)
            self.assertEqual(watch.returncode, 1, err)
            self.assertIn(b"was killed by signal 9", err)


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def day_text(folder):
    names = [n for n in os.listdir(folder) if n.startswith("run-") and n.endswith(".log")]
    if not names:
        return ""
    with open(os.path.join(folder, names[0])) as f:
        return f.read()


if __name__ == "__main__":
    unittest.main()
