"""Day files for years: --keep and --gzip in a watch, and a report that reads a folder of
day files, several files and gzip as one log."""

import datetime
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from report_test import REPORT, WRAPPER, report, row_line  # noqa: E402

PATTERN = "run-%Y-%m-%d.log"
DAY0 = datetime.datetime(2026, 10, 1)


def setUpModule():
    global WINE_SERVER
    WINE_SERVER = harness.start_wine_server()


def tearDownModule():
    harness.stop_wine_server(WINE_SERVER)


def day_name(day):
    return (DAY0 + datetime.timedelta(days=day)).strftime("run-%Y-%m-%d.log")


def days_log(days, per_day=24):
    """A run whose rows fall on the given days (offsets from DAY0), `per_day` a day."""
    lines = ["Starting at 00:00:00.144", harness.HEADER]
    for day in days:
        for i in range(per_day):
            when = DAY0 + datetime.timedelta(days=day, seconds=i * 86400 // per_day + 1)
            lines.append(row_line(when.strftime("%Y-%m-%d %H:%M:%S")))
    return "\n".join(lines) + "\n"


def watch(folder, text, *args):
    """A watch that writes day files of PATTERN into `folder`, its input `text`."""
    result = subprocess.run(WRAPPER + [REPORT, "--follow", "--log",
                                       os.path.join(folder, PATTERN), *args],
                            input=text.encode(), capture_output=True, timeout=120)
    result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


def day_files(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("run-") and not n.endswith(".causes"))


def without_places(value):
    """A document without where its rows are (several files name each row's file and
    count its lines within it; one input counts them over all), to compare figures."""
    if isinstance(value, dict):
        return {k: without_places(v) for k, v in value.items()
                if k not in ("file", "line", "first_skipped_file", "first_skipped_line")}
    if isinstance(value, list):
        return [without_places(v) for v in value]
    return value


def text_without_places(text):
    """The same for the summary's text and the CSV."""
    text = re.sub(rb"\((?:\S+ )?line \d+", b"(line N", text)
    text = re.sub(rb'^(\d+),(?:"[^"]*",)?\d+,', rb"\1,N,", text, flags=re.M)
    return text.replace(b"run,file,line,", b"run,N,").replace(b"run,line,", b"run,N,")


def summary_json(*args, stdin=None):
    result = report("--json", *args, stdin=stdin)
    assert result.returncode == 0, (result.returncode, result.stderr)
    doc = json.loads(result.stdout)
    doc.pop("log")
    return without_places(doc)


class KeepAndCompress(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_forty_days_leave_the_newest_seven_compressed(self):
        others = {"notes.txt": b"keep me\n", "run-other.txt": b"",
                  "run-2026-10-01.log.bak": b"an old copy\n"}
        for name, data in others.items():
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        # The causes a live watch kept beside two days go with their day, and stay with it.
        for d in (0, 35):
            with open(os.path.join(self.dir, day_name(d) + ".causes"), "w") as f:
                f.write("1790000000000 20000000 stopped span_ns=1\n")
        text = days_log(range(40))
        result = watch(self.dir, text, "--keep", "7", "--gzip")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(day_files(self.dir),
                         ["run-2026-10-01.log.bak"] + [day_name(d) + ".gz" for d in range(33, 39)]
                         + [day_name(39), "run-other.txt"])
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.endswith(".causes")),
                         [day_name(35) + ".causes"])
        for name, data in others.items():
            with open(os.path.join(self.dir, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        # Each .gz holds its day as the watch wrote it: start line, header, its rows.
        plain = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, plain, True)
        self.assertEqual(watch(plain, text).returncode, 0)
        for d in range(33, 39):
            with gzip.open(os.path.join(self.dir, day_name(d) + ".gz"), "rb") as f, \
                    open(os.path.join(plain, day_name(d)), "rb") as g:
                self.assertEqual(f.read(), g.read(), day_name(d))
        # The folder reads as its days joined as plain text, figure for figure.
        joined = b"".join(open(os.path.join(plain, day_name(d)), "rb").read()
                          for d in range(33, 40))
        self.assertEqual(summary_json(self.dir), summary_json(stdin=joined))
        self.assertEqual(summary_json(self.dir)["runs"]["count"], 1)

    def test_a_clock_step_costs_at_most_its_share(self):
        # The order is the order of writing: a day a year back is the newest when it is
        # written, and a day a year ahead pushes out one day only.
        cases = [
            ("set back a year", [0, 1, 2, 3, 4, -365, 5],
             [day_name(4), day_name(-365), day_name(5)]),
            ("set forward a year", [0, 1, 2, 3, 4, 365, 5],
             [day_name(4), day_name(365), day_name(5)]),
            ("back to a day written before", [0, 1, 2, 3, 1, 4],
             [day_name(3), day_name(1), day_name(4)]),
        ]
        for what, days, kept in cases:
            with self.subTest(what), tempfile.TemporaryDirectory() as d:
                # Each day a watch of its own, on a machine whose clock agrees with the
                # rows: the file's time of writing is the day's too.
                for day in days:
                    self.assertEqual(watch(d, days_log([day]), "--keep", "3").returncode, 0)
                    when = (DAY0 + datetime.timedelta(days=day, hours=12)).replace(
                        tzinfo=datetime.timezone.utc).timestamp()
                    os.utime(os.path.join(d, day_name(day)), (when, when))
                self.assertEqual(day_files(d), sorted(kept))

    def test_a_watch_that_starts_compresses_the_finished_days_it_finds(self):
        for day in (0, 1):
            self.assertEqual(watch(self.dir, days_log([day])).returncode, 0)
        with open(os.path.join(self.dir, day_name(0)), "rb") as f:
            day0 = f.read()
        # A day compressed before whose plain file was left (the watch ended between the
        # two steps) is not compressed twice.
        with gzip.open(os.path.join(self.dir, day_name(1) + ".gz"), "wb") as f:
            f.write(open(os.path.join(self.dir, day_name(1)), "rb").read())
        result = watch(self.dir, days_log([2]), "--gzip")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(day_files(self.dir),
                         [day_name(0) + ".gz", day_name(1) + ".gz", day_name(2)])
        with gzip.open(os.path.join(self.dir, day_name(0) + ".gz"), "rb") as f:
            self.assertEqual(f.read(), day0)
        self.assertEqual(summary_json(self.dir)["rows"], 3 * 24)
        # A day written again after its .gz was made (a clock set back) adds to it.
        self.assertEqual(watch(self.dir, days_log([0, 3], per_day=12), "--gzip").returncode, 0)
        with gzip.open(os.path.join(self.dir, day_name(0) + ".gz"), "rb") as f:
            self.assertEqual(f.read().count(b"\n2026-10-01 "), 24 + 12)

    def test_a_gz_that_cannot_be_written_is_said_once_and_written_later(self):
        folder = harness.small_tmpfs(self, size="1m")
        pattern = os.path.join(folder, PATTERN)
        day0, day1 = days_log([0], per_day=2000), days_log([1], per_day=700)
        proc = subprocess.Popen(WRAPPER + [REPORT, "--follow", "--log", pattern, "--gzip"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        day1_rows = day1.splitlines(keepends=True)[2:]
        proc.stdin.write(day0.encode())
        proc.stdin.flush()
        self.assertTrue(harness.wait_for(
            lambda: os.path.getsize(os.path.join(folder, day_name(0))) == len(day0) or None))
        # The disk is full when day 1 starts; once there is room again, 600 rows later
        # the .gz is written.
        filler = harness.fill(folder)
        proc.stdin.write("".join(day1_rows[:1]).encode())
        proc.stdin.flush()
        err = ""
        while "cannot write" not in err or ".gz" not in err:
            line = proc.stderr.readline().decode()
            self.assertTrue(line, err)
            err += line
        os.remove(filler)
        proc.stdin.write("".join(day1_rows[1:]).encode())
        proc.stdin.close()
        err = (err + proc.stderr.read().decode()).replace("\r\n", "\n")
        proc.wait(timeout=60)
        gz = os.path.join(folder, day_name(0) + ".gz")
        self.assertEqual(err.count(f"cannot write {gz}"), 1, err)
        self.assertEqual(err.count(f"wrote {gz} now"), 1, err)
        self.assertEqual(day_files(folder), [day_name(0) + ".gz", day_name(1)])
        with gzip.open(gz, "rb") as f:
            self.assertEqual(f.read(), day0.encode())

    def test_wrong_keep_and_gzip_end_before_anything_is_read(self):
        pattern = os.path.join(self.dir, PATTERN)
        cases = [
            (["--log", pattern, "--keep", "0"], "--keep needs a whole number"),
            (["--log", pattern, "--keep", "-3"], "--keep needs a whole number"),
            (["--log", pattern, "--keep", "week"], "--keep needs a whole number"),
            (["--keep", "7"], "--keep and --gzip go with --log"),
            (["--gzip"], "--keep and --gzip go with --log"),
            (["--log", os.path.join(self.dir, "one.log"), "--gzip"], "strftime fields"),
            (["--log", os.path.join(self.dir, "%Y", "run-%d.log"), "--keep", "2"],
             "strftime fields"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                result = report("--follow", *args, stdin=days_log([0]).encode())
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(said.encode(), result.stderr)
                self.assertIn(b"usage:", result.stderr)
                self.assertEqual(os.listdir(self.dir), [])


class ReadingDays(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir, True)
        # A week of day files as a watch writes them.
        self.assertEqual(watch(self.dir, days_log(range(7))).returncode, 0)
        self.plain = [os.path.join(self.dir, day_name(d)) for d in range(7)]
        self.joined = b"".join(open(p, "rb").read() for p in self.plain)

    def compress(self, path, name=None):
        with open(path, "rb") as f, gzip.open(name or path + ".gz", "wb") as g:
            g.write(f.read())
        os.remove(path)

    def test_gzip_files_folders_and_standard_input_read_as_one_log(self):
        # Compressed or not, whatever the name: gzip is told by the first bytes.
        self.compress(self.plain[1])
        self.compress(self.plain[2], os.path.join(self.dir, "2026-10-03.data"))
        named = [self.plain[0], self.plain[1] + ".gz", os.path.join(self.dir, "2026-10-03.data")]
        joined = summary_json(stdin=self.joined)
        self.assertEqual(joined["rows"], 7 * 24)
        self.assertEqual(summary_json(self.dir), joined)
        self.assertEqual(summary_json(*named, "-", *self.plain[4:],
                                      stdin=open(self.plain[3], "rb").read()), joined)
        a, b = report("--csv", self.dir), report("--csv", stdin=self.joined)
        self.assertEqual((a.returncode, text_without_places(a.stdout)),
                         (b.returncode, text_without_places(b.stdout)))
        # A window: the days wholly outside it are not read, and said so.
        window = ["--from", "2026-10-03T12:00Z", "--to", "2026-10-05"]
        a, b = summary_json(*window, self.dir), summary_json(*window, stdin=self.joined)
        self.assertEqual((a["window"].pop("day_files_not_read"), a["window"].pop("rows_outside"),
                          b["window"].pop("rows_outside")), (5, 12, 132))
        # Line numbers count the lines read, so only the figures of the rows compare.
        figures = ("window", "rows", "first_row", "last_row", "covered_ns", "readings",
                   "bands", "percentiles_below_ms", "clock", "table")
        b["window"].pop("day_files_not_read")
        self.assertEqual({k: a[k] for k in figures}, {k: b[k] for k in figures})
        # The page and the picture of the folder are those of the joined days.
        html = os.path.join(self.dir, "..", os.path.basename(self.dir) + ".html")
        self.addCleanup(lambda: os.path.exists(html) and os.remove(html))
        result = report("--html", html, self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(html) as f:
            self.assertIn("168", f.read())

    def test_a_week_of_gz_against_zcat(self):
        for p in self.plain:
            self.compress(p)
        gz = [p + ".gz" for p in self.plain]
        zcat = subprocess.run(["zcat", *gz], capture_output=True, check=True).stdout
        for args in (["--json"], ["--csv"], []):
            with self.subTest(args=args):
                a, b = report(*args, *gz), report(*args, stdin=zcat)
                self.assertEqual(a.returncode, 0, a.stderr)
                name = f"{gz[0]} and 6 more".encode()
                if args == ["--json"]:
                    first, second = json.loads(a.stdout), json.loads(b.stdout)
                    first.pop("log"), second.pop("log")
                    self.assertEqual(without_places(first), without_places(second))
                else:
                    self.assertEqual(text_without_places(a.stdout.replace(name, b"X")),
                                     text_without_places(b.stdout.replace(b"standard input", b"X")))

    def test_damaged_gzip_names_where_and_keeps_the_rows_before(self):
        with open(self.plain[0], "rb") as f:
            data = gzip.compress(f.read() + b"".join(
                row_line(f"2026-10-01 23:{m:02d}:{s:02d}").encode() + b"\n"
                for m in range(60) for s in range(60)))
        cases = [("cut", data[:len(data) // 2], "the gzip data ends early at byte"),
                 ("trailing", data + b"trailing words", "bytes that are not gzip data follow")]
        for what, raw, said in cases:
            with self.subTest(what):
                path = os.path.join(self.dir, "damaged.gz")
                with open(path, "wb") as f:
                    f.write(raw)
                result = report("--json", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"{path}: {said}".encode(), result.stderr)
                rows = json.loads(result.stdout)["rows"]
                self.assertGreater(rows, 24 if what == "cut" else 3600 + 23)
                self.assertLessEqual(rows, 24 + 3600)

    def test_a_window_does_not_read_days_outside_it(self):
        # A day outside the window whose text breaks would be said if it were read.
        with open(self.plain[0], "rb") as f:
            data = gzip.compress(f.read())
        os.remove(self.plain[0])
        with open(self.plain[0] + ".gz", "wb") as f:
            f.write(data[:len(data) - 10])
        inside = report("--json", "--from", "2026-10-03", "--to", "2026-10-05", self.dir)
        self.assertEqual(inside.returncode, 0, inside.stderr)
        self.assertEqual(json.loads(inside.stdout)["rows"], 2 * 24)
        self.assertNotIn(b"gzip", inside.stderr)
        whole = report("--json", self.dir)
        self.assertIn(b"the gzip data ends early", whole.stderr)

    def test_a_folder_without_a_log_and_files_that_are_none(self):
        with open(os.path.join(self.dir, "notes.txt"), "w") as f:
            f.write("not a log\n")
        with open(os.path.join(self.dir, "picture.png"), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n\0\0\0")
        # A day whose .gz holds it already (a watch that ended between the two steps).
        with open(self.plain[3], "rb") as f, gzip.open(self.plain[3] + ".gz", "wb") as g:
            g.write(f.read())
        result = report("--json", self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["rows"], 7 * 24)
        self.assertIn(f"skipped {self.plain[3]}: ".encode(), result.stderr)
        for name in ("notes.txt", "picture.png"):
            self.assertIn(f"skipped {os.path.join(self.dir, name)}".encode(), result.stderr)
        with tempfile.TemporaryDirectory() as empty:
            shutil.copy(os.path.join(self.dir, "notes.txt"), empty)
            result = report(empty)
            self.assertEqual(result.returncode, 1)
            self.assertIn(f"{empty} holds no clockgap log".encode(), result.stderr)
        result = report("--follow", self.dir)
        self.assertEqual(result.returncode, 2)
        # A name that cannot be read ends the report before it says anything.
        result = report(self.plain[0], os.path.join(self.dir, "missing.log"))
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertIn(b"missing.log", result.stderr)


class Places(unittest.TestCase):
    """With a folder, a row is named by its file and its line there, as an editor counts
    it; one file alone keeps its lines as they were."""

    def test_the_largest_gap_of_the_third_file_is_placed_in_it(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        for d in range(3):
            lines = days_log([d], per_day=24).splitlines()
            if d == 2:  # row 10 of the third day (its line 12) holds a gap of 9 s
                lines[11] = lines[11].replace(",300000,300000,", ",9000000000,9000000000,")
            text = ("\n".join(lines) + "\n").encode()
            path = os.path.join(folder, day_name(d))
            if d == 1:
                with gzip.open(path + ".gz", "wb") as f:
                    f.write(text)
            else:
                with open(path, "wb") as f:
                    f.write(text)
        third = os.path.join(folder, day_name(2))
        doc = json.loads(report("--json", folder).stdout)
        self.assertEqual((doc["largest_gap"]["file"], doc["largest_gap"]["line"]), (third, 12))
        self.assertEqual(doc["runs"]["listed"][0]["file"], os.path.join(folder, day_name(0)))
        text = report(folder).stdout.decode()
        self.assertIn(f"({third} line 12)", text)
        csv = report("--csv", folder).stdout.decode().splitlines()
        self.assertTrue(csv[0].startswith("run,file,line,"), csv[0])
        self.assertIn(f'1,"{os.path.join(folder, day_name(1))}.gz",3,', csv[25])
        # One file alone: no file named, the same line.
        alone = json.loads(report("--json", third).stdout)["largest_gap"]
        self.assertEqual(("file" in alone, alone["line"]), (False, 12))
        self.assertIn("(line 12)", report(third).stdout.decode())


class RunStarts(unittest.TestCase):
    """The lines that start a run (start line, header) go into the day file of the run's
    first row, never at the end of the day before."""

    def test_a_replay_of_three_day_files_starts_each_in_its_own_day(self):
        folder, originals = tempfile.mkdtemp(), tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        self.addCleanup(shutil.rmtree, originals, True)
        texts = [days_log([d]) for d in range(3)]
        files = []
        for d, text in enumerate(texts):
            files.append(os.path.join(originals, day_name(d)))
            with open(files[-1], "w") as f:
                f.write(text)
        result = watch(folder, "".join(texts))
        self.assertEqual(result.returncode, 0, result.stderr)
        for d in range(3):
            with open(os.path.join(folder, day_name(d))) as f:
                lines = f.read().splitlines()
            self.assertTrue(lines[0].startswith("Starting at"), (d, lines[:2]))
            self.assertEqual(lines[1], harness.HEADER, d)
            self.assertEqual(lines.count(harness.HEADER), 1, (d, lines[-3:]))
        # The folder read back gives the runs the files give read directly.
        self.assertEqual(summary_json(folder)["runs"], summary_json(*files)["runs"])

    def test_a_monitor_restarted_in_the_last_second_of_a_day(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        stamp = "%Y-%m-%d %H:%M:%S"
        before = [DAY0 + datetime.timedelta(hours=h) for h in range(1, 24)]
        before.append(DAY0 + datetime.timedelta(seconds=86399))
        after = [DAY0 + datetime.timedelta(days=1, seconds=k) for k in range(4)]
        text = "\n".join(["Starting at 00:00:00.144", harness.HEADER] +
                         [row_line(t.strftime(stamp)) for t in before] +
                         ["Starting at 23:59:59.600", harness.HEADER] +
                         [row_line(t.strftime(stamp)) for t in after]) + "\n"
        result = watch(folder, text)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(folder, day_name(0))) as f:
            first = f.read().splitlines()
        with open(os.path.join(folder, day_name(1))) as f:
            second = f.read().splitlines()
        self.assertEqual(first[-1], row_line(before[-1].strftime(stamp)))
        self.assertEqual(second[:2], ["Starting at 23:59:59.600", harness.HEADER])
        self.assertEqual(len(second), 2 + len(after))


@unittest.skipIf(WRAPPER, "libfaketime shifts a clock of this system")
class LiveDayEnd(unittest.TestCase):
    def test_a_monitor_restarted_in_the_last_second_of_a_day(self):
        """The real monitor, its clock set near a day's end (libfaketime), into a live
        watch: it writes rows at 23:59:57 and 23:59:58, and is killed; another starts at
        23:59:59.2 or later, into the same watch. The day's file ends with the first
        one's rows, and the second's start line and header begin the next day's file,
        with its first row."""
        from monitor_test import FakeClock
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        clock = FakeClock()
        self.addCleanup(clock.dir.cleanup)
        # Whole seconds of offset: the monitors' clock keeps the real fraction of a second.
        while not 0.2 <= time.time() % 1 <= 0.5:
            time.sleep(0.01)
        now = time.time()
        midnight = (now // 86400 + 1) * 86400
        clock.set(f"+{int(midnight - now // 1 - 4)}")  # 23:59:56 and the fraction
        read_end, write_end = os.pipe()
        watching = subprocess.Popen([REPORT, "--follow", "--log", os.path.join(folder, PATTERN)],
                                    stdin=read_end, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE)
        os.close(read_end)
        self.addCleanup(watching.wait)
        self.addCleanup(watching.kill)

        def monitor():
            process = subprocess.Popen([harness.BINARY, "1"], stdout=write_end,
                                       env=dict(os.environ, **clock.env()))
            self.addCleanup(process.wait)
            self.addCleanup(process.kill)
            return process

        day = datetime.datetime.fromtimestamp(midnight - 1, datetime.timezone.utc)
        next_day = datetime.datetime.fromtimestamp(midnight, datetime.timezone.utc)
        paths = [os.path.join(folder, d.strftime(PATTERN)) for d in (day, next_day)]
        rows = lambda path: len(re.findall(r"\n\d{4}-", open(path).read()))  # noqa: E731
        first = monitor()
        self.assertIsNotNone(harness.wait_for(lambda: rows(paths[0]) >= 2 or None, 10))
        first.kill()
        first.wait()
        # The second starts 0.2 s or more into the last second of the day.
        time.sleep(max(0.0, midnight - 0.8 - (time.time() + clock_offset(clock))))
        second = monitor()
        self.assertIsNotNone(harness.wait_for(lambda: rows(paths[1]) >= 1 or None, 10))
        second.kill()
        second.wait()
        os.close(write_end)
        self.assertEqual(watching.wait(timeout=30), 0, watching.stderr.read())
        watching.stderr.close()
        self.assertEqual(day_files(folder), [os.path.basename(p) for p in paths])
        with open(paths[0]) as f:
            ending = f.read().splitlines()
        with open(paths[1]) as f:
            beginning = f.read().splitlines()
        self.assertEqual([line[:19] for line in ending[-2:]],
                         [day.strftime("%Y-%m-%d 23:59:5") + s for s in "78"], ending[-3:])
        self.assertEqual(beginning[0], "Sleep period adjusted to 1 ms")
        self.assertRegex(beginning[1], r"^Starting at 23:59:59\.[2-9]\d\d$")
        self.assertEqual(beginning[2], harness.HEADER)
        self.assertEqual(beginning[3][:19], next_day.strftime("%Y-%m-%d 00:00:00"))


def clock_offset(clock):
    """The seconds a FakeClock's offset file sets its clock ahead."""
    with open(clock.path) as f:
        return int(f.read().strip())


class Messages(unittest.TestCase):
    """What a reader of a folder is told: of the day files a window left unread, of the
    rows read, and nothing of the Windows service's own messages beside the days."""

    def test_a_window_and_the_service_messages(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        for d in range(3):
            with open(os.path.join(folder, day_name(d)), "w") as f:
                f.write(days_log([d]))
        for name in ("clockgap-service.log", "clockgap-service.log.1"):
            with open(os.path.join(folder, name), "w") as f:
                f.write("2026-12-01T00:00:00Z information: started\n")
        cases = [
            (["--from", "2027-01-01"], "No rows: the window holds none of the log's rows; "
                                        "3 day files wholly outside it were not read."),
            (["--from", "2026-10-01T23:30Z", "--to", "2026-10-02"],
             "No rows: the window holds none of the 24 rows read; 2 day files wholly outside "
             "it were not read."),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                result = report(*args, folder)
                self.assertIn(said.encode(), result.stdout)
                self.assertNotIn(b"clockgap-service", result.stderr)
        self.assertEqual(report(folder).stderr, b"")


class Durable(unittest.TestCase):
    """What a power cut, a second watch or a killed compression could cost: the order in
    which the watch flushes, renames and removes, its lock on the folder, and the parts
    that killed processes leave."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_a_day_reaches_the_disk_before_its_gz_replaces_it(self):
        if WRAPPER or not shutil.which("strace"):
            self.skipTest("needs strace and the Linux program")
        trace = os.path.join(self.dir, "trace")
        days = os.path.join(self.dir, "days")
        os.mkdir(days)
        # A day a watch before it left plain: only this watch's keeper flushes it.
        with open(os.path.join(days, day_name(0)), "w") as f:
            f.write(days_log([0]))
        # LeakSanitizer cannot run under ptrace: a sanitized build leaves it out here.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                   ":detect_leaks=0")
        result = subprocess.run(
            ["strace", "-f", "-y", "-qq", "-o", trace,
             "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
             REPORT, "--follow", "--log", os.path.join(days, PATTERN), "--gzip"],
            input=days_log([1, 2]).encode(), capture_output=True, timeout=120, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = []
        with open(trace) as f:
            for line in f:
                # "PID fsync(5</tmp/x/run-2026-10-01.log>) = 0", renames with two names.
                name = line.split(None, 1)[1].split("(", 1)[0]
                paths = [p.split(">", 1)[0] for p in line.split("<")[1:]]
                paths += [p for p in line.split('"')[1::2]]
                calls.append((name, [os.path.basename(p.rstrip("/")) or p for p in paths]))

        def first(name, path, after=-1):
            for i, (call, paths) in enumerate(calls):
                if i > after and call.startswith(name) and path in paths:
                    return i
            self.fail(f"no {name} of {path} after call {after}: {calls}")

        for day in (day_name(0), day_name(1)):
            part = next(p for c, ps in calls for p in ps if p.startswith(day + ".gz.part-"))
            # The day, then its .gz part, reach the disk; the part is renamed; the folder
            # reaches the disk; only then is the plain day removed.
            renamed = first("rename", part)
            order = [first("fsync", day), first("fsync", part), renamed,
                     first("fsync", "days", renamed), first("unlink", day)]
            self.assertEqual(order, sorted(order), (day, calls))
        # The order file: written whole, flushed, renamed, the folder flushed after.
        order_part = next(p for c, ps in calls for p in ps if ".order.part-" in p)
        steps = [first("fsync", order_part), first("rename", order_part)]
        self.assertEqual(steps, sorted(steps), calls)
        self.assertTrue(any(c.startswith("fsync") and "days" in ps for c, ps in calls[steps[1]:]))
        # The day being written reaches the disk when the watch ends.
        self.assertTrue(any(c.startswith("fsync") and day_name(2) in ps for c, ps in calls))

    def strace(self, injected, *args, input_text, stages=()):
        """The Linux watch with `args`, run under strace `injected` (a fault), its result.
        `stages` are (path, text): once `path` exists, `text` is written too."""
        if WRAPPER or not shutil.which("strace"):
            self.skipTest("needs strace and the Linux program")
        # LeakSanitizer cannot run under ptrace: a sanitized build leaves it out here.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                   ":detect_leaks=0")
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            run = subprocess.Popen(["strace", "-f", "-qq", "-o", os.devnull, *injected, REPORT,
                                    *args], stdin=subprocess.PIPE, stdout=out, stderr=err,
                                   env=env)
            self.addCleanup(run.wait)
            self.addCleanup(run.kill)
            run.stdin.write(input_text.encode())
            run.stdin.flush()
            for path, text in stages:
                deadline = time.time() + 60
                while not os.path.exists(path) and run.poll() is None:
                    self.assertLess(time.time(), deadline, f"{path} never came")
                    time.sleep(0.02)
                run.stdin.write(text.encode())
                run.stdin.flush()
            run.stdin.close()
            returncode = run.wait(timeout=120)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(run.args, returncode, out.read(), err.read())

    def test_a_folder_whose_flush_fails_keeps_its_day_until_it_is_flushed(self):
        days = os.path.join(self.dir, "days")
        os.mkdir(days)
        # The folder's flushes: the order file of the first day, the first day's .gz
        # (failed here), the order again, then the next sweep's. Each day is written once
        # the sweep before it has begun, so that the flushes come in that order.
        order = os.path.join(days, ".run-%Y-%m-%d.log.order")
        day = [days_log([d]).split("\n", 2)[2] for d in (1, 2)]
        result = self.strace(["-P", days, "-e", "inject=fsync:error=EIO:when=2"], "--follow",
                             "--log", os.path.join(days, PATTERN), "--gzip",
                             input_text=days_log([0]),
                             stages=[(order, day[0]),
                                     (os.path.join(days, day_name(0) + ".gz"), day[1])])
        said = result.stderr.decode()
        print(said, file=sys.stderr)
        # A warning of durability, once, not a failed write; the file is not written again.
        self.assertEqual(said.count("could not be flushed to disk (Input/output error)"), 1, said)
        self.assertIn(f"{day_name(0)}.gz is whole, but the folder", said)
        self.assertNotIn("cannot write", said)
        self.assertIn("flushed the folder", said)  # at the next sweep
        self.assertEqual(result.returncode, 0, said)
        self.assertEqual(sorted(n for n in os.listdir(days) if n.startswith("run-")),
                         [day_name(0) + ".gz", day_name(1) + ".gz", day_name(2)])

    def test_a_lock_file_a_process_left_and_a_lock_that_fails(self):
        lock = os.path.join(self.dir, ".clockgap-watch.lock")
        with open(lock, "w") as f:
            f.write("999999\n")  # a process that ended, whose lock ended with it
        result = watch(self.dir, days_log([0], per_day=2))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(lock) as f:
            self.assertNotEqual(f.read(), "999999\n")
        # A lock that fails for a reason of its own is said as that, never as a holder.
        result = self.strace(["-e", "inject=flock:error=ENOLCK"], "--follow", "--log",
                             os.path.join(self.dir, PATTERN), input_text=days_log([1]))
        said = result.stderr.decode()
        self.assertIn("it cannot be locked (No locks available)", said)
        self.assertNotIn("another watch", said)
        self.assertNotEqual(result.returncode, 0, said)

    def test_a_second_watch_on_the_folder_ends_at_once(self):
        pattern = os.path.join(self.dir, PATTERN)
        first = subprocess.Popen(WRAPPER + [REPORT, "--follow", "--log", pattern],
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        self.addCleanup(first.wait)
        self.addCleanup(first.kill)
        first.stdin.write(days_log([0], per_day=2).encode())
        first.stdin.flush()
        lock = os.path.join(self.dir, ".clockgap-watch.lock")
        deadline = time.time() + 30
        while time.time() < deadline and not (os.path.exists(lock) and os.path.getsize(lock)):
            time.sleep(0.05)
        second = watch(self.dir, days_log([0], per_day=3))
        self.assertEqual(second.returncode, 1, second.stderr)
        said = second.stderr.decode()
        print(said, file=sys.stderr)
        self.assertIn("another watch", said)
        self.assertIn(self.dir, said)
        if not WRAPPER:  # Wine's process ids are its own
            self.assertIn(f"(process {first.pid})", said)
        first.stdin.close()
        self.assertEqual(first.wait(timeout=60), 0, first.stderr.read())
        first.stderr.close()
        # The first watch's day holds its run alone; the folder is free once it ended.
        with open(os.path.join(self.dir, day_name(0))) as f:
            self.assertEqual(f.read().count(harness.HEADER), 1)
        third = watch(self.dir, days_log([1], per_day=2))
        self.assertEqual(third.returncode, 0, third.stderr)

    def test_parts_of_ended_processes_are_removed_and_a_running_ones_kept(self):
        if WRAPPER:
            self.skipTest("Wine's process ids are its own")
        alive = subprocess.Popen(["sleep", "60"])
        self.addCleanup(alive.wait)
        self.addCleanup(alive.kill)
        ended = subprocess.Popen(["true"])
        ended.wait()
        names = {f"{day_name(0)}.gz.part-{ended.pid}": False,
                 f"{day_name(0)}.gz.part-{alive.pid}": True,
                 f".{PATTERN}.order.part-{ended.pid}": False,
                 f"notes.txt.part-{ended.pid}": True}  # not the pattern's
        for name in names:
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(b"half")
        result = watch(self.dir, days_log([2]), "--gzip")
        self.assertEqual(result.returncode, 0, result.stderr)
        for name, kept in names.items():
            self.assertEqual(os.path.exists(os.path.join(self.dir, name)), kept, name)
        self.assertEqual(result.stderr.count(b"its process has ended"), 2, result.stderr)


if __name__ == "__main__":
    unittest.main()
