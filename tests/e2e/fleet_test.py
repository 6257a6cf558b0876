"""clockgap-report --fleet on a generated fleet (bench/fleet_logs.py): the moments hosts
shared, each host's figures against its own report, bad hosts, and the page in the
browser."""

import datetime
import errno
import gzip
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from fleet_logs import DAY0, HEADER, host_day, row, write_fleet  # noqa: E402
from report_test import CHROMIUM, REPORT, WRAPPER, browser, report  # noqa: E402

T0 = "2026-12-01T00:"
SANITIZED = os.environ.get("CLOCKGAP_SANITIZED") == "1"


def setUpModule():
    global WINE_SERVER
    import harness
    WINE_SERVER = harness.start_wine_server()


def tearDownModule():
    import harness
    harness.stop_wine_server(WINE_SERVER)


def fleet(*args):
    result = report("--fleet", *args)
    result.stdout = result.stdout.replace(b"\r\n", b"\n")
    result.stderr = result.stderr.replace(b"\r\n", b"\n")
    return result


def fleet_json(*args):
    result = fleet("--json", *args)
    return result, json.loads(result.stdout)


def open_writer(fifo, deadline_s=30):
    """The named pipe `fifo` opened for writing once its reader has opened it; None if no
    reader came by the deadline."""
    deadline = time.time() + deadline_s
    while time.time() < deadline:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:
                raise
            time.sleep(0.01)
    return None


@unittest.skipIf(WRAPPER, "named pipes and signals of this system")
class Interrupted(unittest.TestCase):
    """Ctrl-C during a read of files ends it as the man page says, in a fleet and alone:
    what was read is reported, with the signal, each host cut and how far it was read,
    and the hosts not begun; the status is 0."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clockgap-interrupted-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def fifo_host(self, path, rows):
        """A host's log that is a named pipe, and the text of `rows` rows to write into it
        once it is read."""
        os.mkfifo(path)
        return path, "\n".join(host_day(0, 4, 0, 3600).split("\n")[:rows + 2]) + "\n"

    def interrupt(self, args, fifos):
        """Runs clockgap-report on `args`, feeds each fifo its text once it is read (the
        ones not read in 5 s are left), then Ctrl-C; its status, output and error."""
        run = subprocess.Popen([REPORT, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        writers = []
        for fifo, text in fifos:
            fd = open_writer(fifo, 30 if not writers else 5)
            if fd is not None:
                os.write(fd, text.encode())
                writers.append(fd)
        self.assertTrue(writers, "no named pipe was read")
        time.sleep(0.2)  # the rows reach the reader; what is not read yet is drained anyway
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=60)
        for fd in writers:
            os.close(fd)
        return run.returncode, out.decode(), err.decode(), len(writers)

    def test_ctrl_c_during_a_fleet_read(self):
        fleet_dir = os.path.join(self.dir, "fleet")
        write_fleet(fleet_dir, 2, 1, 60, name="web-{}")
        later = os.path.join(self.dir, "later")
        write_fleet(later, 2, 1, 60, name="zweb-{}")
        # The hosts are begun in the order given, as many at once as there are CPUs.
        fifos = [self.fifo_host(os.path.join(self.dir, "web-3.log"), 100),
                 self.fifo_host(os.path.join(self.dir, "web-4.log"), 50)]
        args = [os.path.join(fleet_dir, "web-1"), fifos[0][0], fifos[1][0],
                os.path.join(fleet_dir, "web-2"), later]
        status, out, err, cut = self.interrupt(["--fleet", "--json", *args], fifos)
        self.assertEqual(status, 0, err)
        doc = json.loads(out)
        self.assertEqual(doc["ended_by"], "Ctrl-C")
        hosts = {h["name"]: h for h in doc["hosts"]}
        read_to = {"web-3": "2026-12-01T00:01:40.000Z", "web-4": "2026-12-01T00:00:50.000Z"}
        for name in ["web-3", "web-4"][:cut]:
            # Cut: read to its last row written.
            self.assertEqual((hosts[name]["ended_by"], hosts[name]["read_to"]),
                             ("Ctrl-C", read_to[name]), hosts[name])
        for name in ("web-1", "web-2", "zweb-1", "zweb-2"):
            # Read whole before the Ctrl-C, or never begun (fewer CPUs than hosts).
            self.assertTrue((name in hosts and hosts[name]["ended_by"] == "end of input")
                            or name in doc["not_started"], (name, doc["not_started"]))
        # The text says the same, each cut host with how far it was read.
        status, out, err, cut = self.interrupt(["--fleet", *args], fifos)
        self.assertEqual(status, 0, err)
        self.assertIn("Note: the read was ended by Ctrl-C; this is everything read before.", out)
        self.assertIn("cut short: web-3 (read to 2026-12-01 00:01:40.000 UTC, 100 rows)", out)

    def test_ctrl_c_during_a_single_read(self):
        fifo, text = self.fifo_host(os.path.join(self.dir, "one.log"), 30)
        status, out, err, _ = self.interrupt(["--json", fifo], [(fifo, text)])
        self.assertEqual(status, 0, err)
        doc = json.loads(out)
        self.assertEqual((doc["ended_by"], doc["interrupted"], doc["rows"]), ("Ctrl-C", True, 30))


def natural_key(name):
    return [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", name)]


def page_data(html):
    """The lanes of every host that the fleet page keeps for its search box."""
    found = re.search(r'<script type="application/json" id="fleet-data">(.*?)</script>',
                      html, re.S)
    return json.loads(found.group(1))


def lane_rects(svg):
    """(x, width, fill, title) of each cell of a lane's SVG."""
    return re.findall(r'<rect x="([\d.]+)" y="[\d.]+" width="([\d.]+)" height="[\d.]+" '
                      r'fill="(#[0-9a-f]{6})"><title>(.*?)</title></rect>', svg)


@unittest.skipIf(WRAPPER, "the page is written by the same code everywhere")
class FleetPage(unittest.TestCase):
    """The page of 12, 60 and 1,000 generated hosts whose rows vary as on busy hosts."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="clockgap-fleet-page-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.pages = {}
        # The 1,000 hosts have 240 rows each: a column a row, the most a page draws.
        for hosts, seconds in ((12, 900), (60, 900), (1000, 240)):
            folder = os.path.join(cls.dir, f"fleet-{hosts}")
            write_fleet(folder, hosts, 1, seconds, noise=True)
            page = folder + ".html"
            result, doc = fleet_json("--html", page, folder)
            assert result.returncode == 0, result.stderr
            with open(page, encoding="utf-8") as f:
                cls.pages[hosts] = (page, f.read(), doc)

    def test_every_host_named_worst_first_and_the_page_small(self):
        # (hosts, the most bytes its page may have: of 12 and 60 hosts, half of what a page
        # with an element a host a column took, 263 kB and 1.29 MB)
        for hosts, most in ((12, 140_000), (60, 460_000), (1000, 3_000_000)):
            with self.subTest(hosts=hosts):
                page, html, doc = self.pages[hosts]
                names = [h["name"] for h in doc["hosts"]]
                self.assertEqual(len(names), hosts)
                self.assertLessEqual(os.path.getsize(page), most)
                # The 40 worst in lanes, the others in the folded list, all in the data.
                lanes = re.findall(r'<g class="lane" data-host="([^"]*)"', html)
                self.assertEqual(lanes, names[:40])
                folded = re.findall(r"<li>([^ <]+)", html)
                self.assertEqual(folded, names[40:])
                self.assertEqual([h[0] for h in page_data(html)["hosts"]], names)
                # Worst first, hosts alike in the order people read names.
                rank = [(h["stalls"]["rows"], h["largest_gap_ns"]) for h in doc["hosts"]]
                for i in range(1, hosts):
                    self.assertGreaterEqual(rank[i - 1], rank[i])
                    if rank[i - 1] == rank[i]:
                        self.assertLess(natural_key(names[i - 1]), natural_key(names[i]))
                # Each moment in a line, every name on demand.
                rows = re.findall(r'<tr class="moment">.*?<details><summary>(.*?)</summary>'
                                  r'(.*?)</details>', html)
                self.assertEqual([full for _, full in rows],
                                 [", ".join(m["hosts"]) for m in doc["shared"]])
                for summary, _ in rows:
                    self.assertLess(len(summary), 120, summary)
        _, html, doc = self.pages[1000]
        summaries = [s for s, _ in re.findall(r"<details><summary>(.*?)</summary>(.*?)"
                                              r"</details>", html)]
        self.assertIn("all 1000 hosts", summaries)
        self.assertIn("750 of 1000: web-1 \u2026 web-750", summaries)

    def test_the_folded_band_counts_the_other_hosts(self):
        _, html, doc = self.pages[1000]
        others = [h["name"] for h in doc["hosts"]][40:]
        stalled = sum(1 for n in others if int(n.split("-")[1]) <= 750)  # at 00:01:40
        titles = re.findall(r'<rect class="count-(\w+)" [^>]*><title>(.*?)</title>', html)
        self.assertIn(("stall", "2026-12-01 00:01:40.000 to 00:01:41.000 UTC: "
                       f"{stalled} of the other 960 had a stall"), titles)
        self.assertIn(("step", "2026-12-01 00:03:20.000 to 00:03:21.000 UTC: "
                       "960 of the other 960 had a clock step"), titles)
        # No count where none of them had an event: the stalls of the noise are few.
        stalls = [t for k, t in titles if k == "stall"]
        self.assertLess(len(stalls), 60)
        for _, title in titles:
            self.assertRegex(title, r": [1-9]\d* of the other 960 ")
        # A host counts once in a column, however many of its rows there have the event:
        # 40 hosts of three stalls apart, and 2 of two stalls in one column (of 5 s).
        folder = os.path.join(tempfile.mkdtemp(dir=self.dir), "twice")
        for h in range(42):
            stalls = {300, 600, 800} if h < 40 else {400, 401}
            lines = ["Starting at 00:00:00.144", HEADER] + [
                row(DAY0 + datetime.timedelta(seconds=t), gap_ns=50_000_000 if t in stalls
                    else 300_000) for t in range(1, 901)]
            os.makedirs(os.path.join(folder, f"h-{h}"))
            with open(os.path.join(folder, f"h-{h}", "clockgap-2026-12-01.log"), "w") as f:
                f.write("\n".join(lines) + "\n")
        page = folder + ".html"
        self.assertEqual(fleet("--html", page, folder).returncode, 0)
        with open(page, encoding="utf-8") as f:
            titles = re.findall(r'<rect class="count-(\w+)" [^>]*><title>(.*?)</title>', f.read())
        self.assertEqual(titles, [("stall", "2026-12-01 00:06:40.000 to 00:06:45.000 UTC: "
                                            "2 of the other 2 had a stall")])

    @unittest.skipUnless(CHROMIUM and not SANITIZED, "needs chromium; once, natively")
    def test_the_search_box_and_the_page_without_its_script(self):
        page, html, doc = self.pages[1000]
        names = [h["name"] for h in doc["hosts"]]
        work = tempfile.mkdtemp(dir=self.dir)
        # The host ranked 700th, asked in the address as a link to it would.
        uri = pathlib.Path(page).as_uri() + "#host=" + names[699]
        dom = browser(work, "--dump-dom", uri).stdout.decode()
        said = re.search(r'<span id="find-said">(.*?)</span>', dom).group(1)
        self.assertTrue(said.startswith(f"{names[699]}: ranked 700 of 1000, worst first"), said)
        found = re.search(r'<svg id="found-lane"([^>]*)>(.*?)</svg>', dom, re.S)
        self.assertIn(f'data-host="{names[699]}"', found.group(1))
        self.assertNotIn("hidden", found.group(1))
        self.assertTrue(lane_rects(found.group(2)))
        # A named host's lane drawn by the script is its lane drawn by the report.
        page, html, doc = self.pages[60]
        name = doc["hosts"][3]["name"]
        dom = browser(work, "--dump-dom", pathlib.Path(page).as_uri() + "#host=" + name)
        dom = dom.stdout.decode()
        found = re.search(r'<svg id="found-lane"[^>]*>(.*?)</svg>', dom, re.S).group(1)
        static = re.search(f'<g class="lane" data-host="{name}">(.*?)</g>', html, re.S).group(1)
        drawn, written = lane_rects(found), lane_rects(static)
        self.assertEqual([r[2:] for r in drawn], [r[2:] for r in written])
        for a, b in zip(drawn, written):  # where, to a fiftieth of a pixel
            self.assertAlmostEqual(float(a[0]), float(b[0]), delta=0.02)
            self.assertAlmostEqual(float(a[1]), float(b[1]), delta=0.02)
        self.assertGreater(len(lane_rects(static)), 5)
        self.assertRegex(dom, f'<g class="lane" data-host="{name}"><text [^>]*class="hit"')
        # Without its script (a policy of the page's own forbids it): the named lanes and
        # the folded band, and no search box.
        still = os.path.join(work, "no-script.html")
        with open(still, "w", encoding="utf-8") as f:
            f.write(self.pages[1000][1].replace("<head>", "<head><meta http-equiv=\""
                    "Content-Security-Policy\" content=\"script-src 'none'\">", 1))
        dom = browser(work, "--dump-dom", pathlib.Path(still).as_uri()).stdout.decode()
        self.assertEqual(re.findall(r'<g class="lane" data-host="([^"]*)"', dom), names[:40])
        self.assertEqual(len(lane_rects(dom)), len(lane_rects(self.pages[1000][1])))
        self.assertIn('<g class="folded">', dom)
        self.assertNotIn("<option", dom)
        self.assertIn('<p id="find" hidden="">', dom)


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="clockgap-fleet-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.hosts = write_fleet(os.path.join(cls.dir, "fleet"), 8, 2, 900, gz=True)

    def test_the_shared_moments_of_a_generated_fleet(self):
        result, doc = fleet_json(os.path.join(self.dir, "fleet"))
        self.assertEqual(result.returncode, 0, result.stderr)
        shared = [(m["start"], m["kind"], sorted(m["hosts"]), m["of"]) for m in doc["shared"]]
        names = [f"web-{i}" for i in range(1, 9)]
        everyone = sorted(names)
        self.assertEqual(shared, [
            (T0 + "01:40.000Z", "stall", sorted(names[:6]), 8),
            (T0 + "03:20.000Z", "clock_set_back", everyone, 8),
            # web-1's stall at 05:00 is its own: not listed.
            (T0 + "06:40.000Z", "stall", ["web-2", "web-3"], 8),  # a second apart
            (T0 + "08:20.000Z", "stall", sorted(names[:4]), 8),
            (T0 + "08:20.000Z", "no_rows", sorted(names[:4]), 8),
            (T0 + "09:10.000Z", "stall", sorted(names[5:]), 8),
            (T0 + "09:10.000Z", "gap_above_5s", sorted(names[5:]), 8),
            (T0 + "09:10.000Z", "no_rows", sorted(names[5:]), 8),
            ("2026-12-02T00:00:50.000Z", "stall", everyone, 8),
        ])
        self.assertEqual(doc["shared"][2]["end"], T0 + "06:41.999Z")
        self.assertEqual(doc["shared"][6]["largest_gap_ns"], 6_000_000_000)
        # Worst first, and every host's clock stepped (the step back at 03:20).
        self.assertEqual([h["name"] for h in doc["hosts"]][:3], ["web-1", "web-2", "web-3"])
        self.assertTrue(all(h["clock_stepped"] for h in doc["hosts"]))

    def test_each_host_as_its_own_report_gives_it(self):
        for window in ([], ["--from", "2026-12-01T00:05Z", "--to", "2026-12-02"]):
            _, doc = fleet_json(*window, os.path.join(self.dir, "fleet"))
            for h in doc["hosts"]:
                with self.subTest(host=h["name"], window=window):
                    own = report("--json", *window, os.path.join(self.dir, "fleet", h["name"]))
                    self.assertEqual(own.returncode, 0, own.stderr)
                    single = json.loads(own.stdout)
                    events = single["clock_events"]["listed"]
                    self.assertEqual(
                        (h["rows"], h["runs"], h["stalls"]["rows"], h["stalls"]["causes"],
                         h["largest_gap_ns"], h["largest_gap_time"], h["silences"],
                         h["clock_steps_back"], h["gaps_above_5s"]),
                        (single["rows"], single["runs"]["count"], single["stalls"]["rows"],
                         single["stalls"]["causes"], single["largest_gap"]["max_gap_ns"],
                         single["largest_gap"]["time"], single["long_waits"]["count"],
                         sum(e["negative_gaps"] > 0 for e in events),
                         sum(e["gaps_above_5s"] > 0 for e in events)))

    def test_hosts_that_cannot_be_read_and_names_said_twice(self):
        d = tempfile.mkdtemp(dir=self.dir)
        fleet_dir = os.path.join(d, "f")
        write_fleet(fleet_dir, 3, 1, 120)
        os.makedirs(os.path.join(d, "g", "web-1"))
        shutil.copy(os.path.join(fleet_dir, "web-1", "clockgap-2026-12-01.log"),
                    os.path.join(d, "g", "web-1"))
        empty = os.path.join(d, "f", "empty")
        os.makedirs(empty)
        with open(os.path.join(empty, "notes.txt"), "w") as f:
            f.write("not a log\n")
        # A damaged .gz: the rows before the damage count, and the host is read.
        text = open(os.path.join(fleet_dir, "web-2", "clockgap-2026-12-01.log"), "rb").read()
        os.remove(os.path.join(fleet_dir, "web-2", "clockgap-2026-12-01.log"))
        packed = gzip.compress(text)
        with open(os.path.join(fleet_dir, "web-2", "clockgap-2026-12-01.log.gz"), "wb") as f:
            f.write(packed[:len(packed) // 2])
        missing = os.path.join(d, "nowhere")
        result, doc = fleet_json(fleet_dir, os.path.join(d, "g", "web-1"), missing)
        self.assertEqual(result.returncode, 1, result.stderr)
        said = result.stderr.decode()
        self.assertIn("host empty", said)
        self.assertIn("host nowhere", said)
        # Both of the hosts that share the name are named, the first as it was read (on
        # Windows, a folder of hosts joins its host's name with a backslash).
        self.assertIn(f"two hosts are named web-1 ({os.path.join(fleet_dir, 'web-1')} and "
                      f"{os.path.join(d, 'g', 'web-1')}); the second is called web-1#2",
                      said.replace("\\", "/"))
        self.assertEqual(sorted(h["name"] for h in doc["hosts"]),
                         ["web-1", "web-1#2", "web-2", "web-3"])
        self.assertEqual(sorted(doc["not_read"]), ["empty", "nowhere"])
        web2 = next(h for h in doc["hosts"] if h["name"] == "web-2")
        self.assertGreater(web2["rows"], 0)
        self.assertLess(web2["rows"], 119)
        self.assertIn("gzip data", said)

    def test_folders_that_mix_hosts_and_files(self):
        # (what the folder holds beside web-1/ and web-2/, the hosts read, what is said)
        day = "clockgap-2026-12-01.log"
        cases = [
            ("db.log", ["db", "web-1", "web-2"], []),
            ("README.txt", ["web-1", "web-2"], ["passed over {d}/README.txt: it is not a "
                                                "clockgap log"]),
            # A host's folder of day files with a folder in it is that host.
            (day, ["mixed"], ["passed over {d}/web-1: a folder in the host folder {d}",
                              "passed over {d}/web-2: a folder in the host folder {d}"]),
        ]
        for beside, hosts, said in cases:
            with self.subTest(beside=beside):
                d = os.path.join(tempfile.mkdtemp(dir=self.dir), "mixed")
                write_fleet(d, 2, 1, 60)
                source = os.path.join(d, "web-1", day)
                if beside.endswith(".log"):
                    shutil.copy(source, os.path.join(d, beside))
                else:
                    with open(os.path.join(d, beside), "w") as f:
                        f.write("Hosts of the lab\n")
                result, doc = fleet_json(d)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual([h["name"] for h in doc["hosts"]], hosts)
                self.assertEqual(
                    result.stderr.decode().replace("\\", "/").splitlines(),
                    ["clockgap-report: " + s.format(d=d.replace("\\", "/")) for s in said])

    def test_hosts_alike_go_by_name_as_people_read_it(self):
        d = os.path.join(tempfile.mkdtemp(dir=self.dir), "alike")
        source = os.path.join(self.dir, "fleet", "web-1", "clockgap-2026-12-01.log.gz")
        for name in ("web-10", "web-2", "web-1", "web-9"):
            os.makedirs(os.path.join(d, name))
            shutil.copy(source, os.path.join(d, name))
        result, doc = fleet_json(d)
        self.assertEqual(result.returncode, 0, result.stderr)
        names = ["web-1", "web-2", "web-9", "web-10"]
        self.assertEqual([h["name"] for h in doc["hosts"]], names)
        self.assertTrue(doc["shared"])
        for moment in doc["shared"]:
            self.assertEqual(moment["hosts"], names)

    def test_the_table_of_many_hosts_shows_the_worst(self):
        # (hosts, --top given, rows of the table, what it says it left out)
        big = os.path.join(tempfile.mkdtemp(dir=self.dir), "big")
        write_fleet(big, 60, 1, 60)
        cases = [(os.path.join(self.dir, "fleet"), [], 8, None),
                 (os.path.join(self.dir, "fleet"), ["--top", "3"], 3, "5 more hosts"),
                 (os.path.join(self.dir, "fleet"), ["--top", "7"], 7, "1 more host,"),
                 (big, [], 40, "20 more hosts"),
                 (big, ["--top", "60"], 60, None)]
        for folder, top, shown, said in cases:
            with self.subTest(hosts=os.path.basename(folder), top=top):
                result = fleet(*top, folder)
                self.assertEqual(result.returncode, 0, result.stderr)
                text = result.stdout.decode()
                table = text.split("chief cause\n", 1)[1].split("\n\n", 1)[0].splitlines()
                listed = [line for line in table if re.match(r"  web-\d+ ", line)]
                self.assertEqual(len(listed), shown, text)
                if said is None:
                    self.assertNotIn("left out", text)
                else:
                    self.assertIn(f"... and {said}", table[-1])
                # The JSON keeps every host.
                _, doc = fleet_json(*top, folder)
                self.assertEqual(len(doc["hosts"]), 60 if folder == big else 8)

    def test_a_moments_hosts_in_a_line(self):
        # The page folds each moment's hosts and keeps every name on demand; the text
        # names each host of a moment of up to ten.
        page = os.path.join(self.dir, "moments.html")
        result = fleet("--html", page, os.path.join(self.dir, "fleet"))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(page, encoding="utf-8") as f:
            html = f.read()
        summaries = re.findall(r"<details><summary>(.*?)</summary>(.*?)</details>", html)
        self.assertIn(("all but 2: web-7, web-8",
                       "web-1, web-2, web-3, web-4, web-5, web-6"), summaries)
        self.assertIn(("4 of 8: web-1 \u2026 web-4", "web-1, web-2, web-3, web-4"), summaries)
        self.assertIn("all 8 hosts", [s for s, _ in summaries])
        self.assertIn("2 of 8: web-2, web-3", [s for s, _ in summaries])
        text = result.stdout.decode()
        self.assertIn("clock_set_back 8 of 8 hosts: web-1, web-2, web-3, web-4, web-5, web-6, "
                      "web-7, web-8;", text)

    def test_one_host_and_wrong_usage(self):
        result = fleet(self.hosts[0])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"No shared moments: there is only one host to read.", result.stdout)
        for args in (["--follow"], ["--log", os.path.join(self.dir, "x-%Y.log")], ["--csv"], []):
            with self.subTest(args=args):
                bad = fleet(*args, *([self.hosts[0]] if args else []))
                self.assertEqual(bad.returncode, 2, bad.stderr)

    @unittest.skipUnless(CHROMIUM and not WRAPPER and not SANITIZED,
                         "needs chromium; once, natively")
    def test_the_page_in_the_browser(self):
        d = tempfile.mkdtemp(dir=self.dir)
        write_fleet(os.path.join(d, "f"), 20, 2, 900)
        page = os.path.join(d, "fleet.html")
        result, doc = fleet_json("--html", page, os.path.join(d, "f"))
        self.assertEqual(result.returncode, 0, result.stderr)
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", f"--user-data-dir={os.path.join(d, 'chromium')}"]
        dom = subprocess.run(["chromium", *flags, "--dump-dom", "file://" + page],
                             capture_output=True, text=True, timeout=120).stdout
        for h in doc["hosts"]:
            self.assertIn(f'data-host="{h["name"]}"', dom)
        # Each host's chief cause beside its lane, and each moment's causes.
        self.assertEqual(dom.count('<text class="chief"'), len(doc["hosts"]))
        for m in doc["shared"]:
            words = ", ".join(f"{k} {n}" for k, n in m["causes"].items())
            self.assertIn(f"<td>{words}</td>", dom)
        self.assertEqual(dom.count('class="band"'), len(doc["shared"]))
        self.assertEqual(dom.count('class="moment"'), len(doc["shared"]))
        # The bands in time order, at the moments' own seconds.
        starts = [int(s.split('"')[0]) for s in dom.split('data-start="')[1:]]
        self.assertEqual(len(starts), len(doc["shared"]))
        pdf = os.path.join(d, "fleet.pdf")
        subprocess.run(["chromium", *flags, f"--print-to-pdf={pdf}", "--no-pdf-header-footer",
                        "file://" + page], capture_output=True, timeout=120)
        info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True).stdout
        self.assertRegex(info, r"Pages:\s+1\n", info)
        size = [float(x) for x in info.split("Page size:")[1].split("pts")[0].split("x")]
        self.assertGreater(size[0], size[1], info)  # landscape


if __name__ == "__main__":
    unittest.main()
