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
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from report_test import LOG, REPORT, row_line  # noqa: E402

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")
RULES = os.path.join(SOURCE, "contrib", "prometheus", "clockgap-rules.yml")


class Watch:
    """clockgap-report --follow with a pipe as its input, read line by line."""

    def __init__(self, *args, **popen):
        self.proc = subprocess.Popen([REPORT, "--follow", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
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


class Events(unittest.TestCase):
    def test_each_event_is_reported_when_its_row_arrives(self):
        c_back = [1, 500_000] + [0] * 12
        c_lunch = [0, 500_000] + [0] * 11 + [1]
        c_stall = [0, 500_000] + [0] * 5 + [1] + [0] * 6
        cases = [
            (rows((("2026-12-07 07:00:02",), dict(counts=c_back, min_gap=-2_000_000_000))),
             "07:00:02.000 (line 4): clock set back by 2.000 s (1 negative gap)"),
            (rows((("2026-12-07 07:00:09",), dict(counts=c_lunch, max_gap=6_500_000_000,
                                                 diff_report=7_000_000_000))),
             "07:00:09.000 (line 5): clock set forward or process held up: a gap of 6.500 s "
             "(1 above 5 s); 7.000 s without a row"),
            (rows((("2026-12-07 07:00:10",), dict(counts=c_stall, max_gap=66_480_000))),
             "07:00:10.000 (line 6): stall: a gap of 66.48 ms (threshold 10.00 ms)"),
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

    def test_a_file_that_cannot_be_written_ends_it_before_reading(self):
        with tempfile.TemporaryDirectory() as d:
            for option in ("--log", "--prometheus"):
                path = os.path.join(d, "missing", "x")
                with self.subTest(option=option):
                    result = subprocess.run([REPORT, "--follow", option, path],
                                            input=LOG.encode(), capture_output=True, timeout=10)
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(path.encode(), result.stderr)
                    self.assertIn(b"No such file or directory", result.stderr)
                    self.assertEqual(result.stdout, b"")


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
            self.assertEqual(sorted(os.listdir(d)), ["run-2026-12-07.log", "run-2026-12-08.log"])
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

    def test_a_reader_never_sees_part_of_the_file(self):
        with tempfile.TemporaryDirectory() as d:
            path, _ = self.watch_rows(d, 1)
            with Watch("--prometheus", path) as watch:
                watch.send(f"{harness.HEADER}\n" + row_line("2026-12-07 07:00:00") + "\n")
                self.assertTrue(wait_for(lambda: os.path.exists(path) or None, 10.0))
                seen = 0
                for s in range(1, 301):
                    watch.send(row_line(f"2026-12-07 07:{s // 60:02d}:{s % 60:02d}") + "\n")
                    # Read while the watch rewrites the file for this row.
                    for _ in range(5):
                        with open(path) as f:
                            content = f.read()
                        seen += 1
                        self.assertTrue(content.startswith("# HELP clockgap_gap_seconds"))
                        self.assertRegex(content, r"\nclockgap_row_write_seconds [0-9.]+\n$")
                out, _ = watch.finish()
        self.assertIn("Rows:        301, from", out)

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
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.count(b"cannot write"), 1, result.stderr)
        self.assertIn(b"the previous file stays", result.stderr)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, timeout=2.0):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


def wait_for(what, deadline_s=30.0):
    deadline = time.time() + deadline_s
    while True:
        try:
            value = what()
            if value is not None:
                return value
        except OSError:
            pass
        if time.time() > deadline:
            return None
        time.sleep(0.25)


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

        prometheus_port = free_port()
        config = os.path.join(self.dir.name, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    f"rule_files: ['{os.path.abspath(RULES)}']\n"
                    "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{exporter_port}']\n")
        self.start("prometheus", f"--config.file={config}",
                   f"--storage.tsdb.path={os.path.join(self.dir.name, 'data')}",
                   f"--web.listen-address=127.0.0.1:{prometheus_port}")

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
                                         "ClockgapStoppedReporting"])


@unittest.skipUnless(shutil.which("promtool"), "needs promtool")
class Rules(unittest.TestCase):
    def test_the_rules_pass_promtool(self):
        result = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(b"SUCCESS: 3 rules found", result.stdout)


class Pipeline(unittest.TestCase):
    def test_sigterm_to_the_pipeline_loses_no_row_that_reached_the_log(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "run.log")
            pipeline = subprocess.Popen(
                ["sh", "-c", f'"$0" | "$1" --follow --log "{log}"', harness.BINARY, REPORT],
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


if __name__ == "__main__":
    unittest.main()
