"""The cause of a stall, named live by clockgap-report --follow, on real incidents: a
monitor pinned with busy loops to one CPU (waiting for a CPU, and who ran), a cgroup's
CPU quota, a frozen cgroup, a stopped monitor, the clock set forward and back; and rows
that are not a live monitor's (never explained)."""

import datetime
import glob
import json
import shlex
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from monitor_test import FakeClock  # noqa: E402
from report_test import REPORT, row_line  # noqa: E402

UNIT = os.path.join(os.path.dirname(__file__), "..", "..", "contrib", "systemd",
                    "clockgap.service.in")
STALL = [0, 500_000] + [0] * 5 + [1] + [0] * 6  # one gap in the 50 ms band


def busy_loop_program(folder, name):
    """A shell under its own name: a process's name is the file it was started from."""
    path = os.path.join(folder, name)
    os.symlink(shutil.which("sh"), path)
    return path


class CpuGroup:
    """A cgroup v1 group of this machine's controller `controller`, removed at the end."""

    def __init__(self, test, controller):
        base = f"/sys/fs/cgroup/{controller}"
        with open("/proc/self/mountinfo") as f:
            if not any(f" {base} " in line and " - cgroup " in line for line in f):
                test.skipTest(f"no cgroup v1 {controller} hierarchy at {base}")
        self.path = os.path.join(base, f"clockgap-test-{os.getpid()}-{id(self)}")
        os.mkdir(self.path)
        test.addCleanup(self.remove)

    def write(self, name, value):
        with open(os.path.join(self.path, name), "w") as f:
            f.write(value)

    def start(self, args, **kwargs):
        """Starts `args` inside the group, from its first instruction."""
        procs = os.path.join(self.path, "cgroup.procs")

        def join():
            with open(procs, "w") as f:
                f.write(str(os.getpid()))
        return subprocess.Popen(args, preexec_fn=join, **kwargs)

    def remove(self):
        for _ in range(50):
            try:
                os.rmdir(self.path)
                return
            except OSError:
                time.sleep(0.1)  # its last process is still leaving


def follow_events(watch, want, deadline_s):
    """Stall events from the watch's JSON lines until `want` of them came or time ran out."""
    events = []
    deadline = time.time() + deadline_s
    while time.time() < deadline and len(events) < want:
        line = watch.stdout.readline()
        if not line:
            break
        event = json.loads(line)
        if event["event"] == "stall":
            events.append(event)
    return events


def report_json(*args):
    done = subprocess.run([REPORT, "--json", *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


class Contention(unittest.TestCase):
    """Three busy loops and the monitor on one CPU: every stall named is cpu_contention,
    in the event lines, the metrics file and the causes kept beside the day files."""

    def test_busy_loops_on_its_cpu_are_named_cpu_contention(self):
        folder = tempfile.mkdtemp(prefix="clockgap-contention-")
        self.addCleanup(shutil.rmtree, folder, True)
        cpu = str(os.cpu_count() - 1)
        loop = busy_loop_program(folder, "cgbusy")
        busy = [subprocess.Popen(["taskset", "-c", cpu, loop, "-c", "while :; do :; done"])
                for _ in range(3)]
        monitor = subprocess.Popen(["taskset", "-c", cpu, harness.BINARY, "1"],
                                   stdout=subprocess.PIPE)
        watch = subprocess.Popen(
            [REPORT, "--follow", "--json", "--stall", "5",
             "--log", os.path.join(folder, "clockgap-%Y-%m-%d.log"),
             "--prometheus", os.path.join(folder, "clockgap.prom")],
            stdin=monitor.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        monitor.stdout.close()
        stalls, delays = [], []
        try:
            deadline = time.time() + 40
            named = 0
            while time.time() < deadline and named < 4:
                line = watch.stdout.readline()
                if not line:
                    break
                event = json.loads(line)
                if event["event"] != "stall":
                    continue
                # The row's second ends at the row's time: the line came this much later.
                row = datetime.datetime.fromisoformat(event["time"].replace("Z", "+00:00"))
                delays.append(time.time() - row.timestamp())
                stalls.append(event)
                named += event["cause"]["kind"] == "cpu_contention"
        finally:
            for p in busy:
                p.kill()
                p.wait()
            monitor.terminate()
            monitor.wait()
            out, err = watch.communicate(timeout=30)
        for event in stalls:
            print(f"\n{event['gap_ns'] / 1e6:.2f} ms: {event['cause']}", file=sys.stderr)
        print(f"row to line: {min(delays) * 1000:.1f} to {max(delays) * 1000:.1f} ms",
              file=sys.stderr)
        kinds = [event["cause"]["kind"] for event in stalls]
        self.assertGreaterEqual(kinds.count("cpu_contention"), 4, (kinds, err))
        # Only the first row of a watch has no figures before it.
        self.assertEqual(set(kinds[1:]), {"cpu_contention"}, kinds)
        loop_pids = set()
        for event in stalls[1:]:
            cause = event["cause"]
            self.assertGreaterEqual(cause["wait_excess_ns"], event["gap_ns"], cause)
            self.assertLessEqual(cause["wait_excess_ns"], cause["run_delay_ns"], cause)
            self.assertEqual(cause["stopped"], False)
            # Who ran: the busy loops, by their own process ids, each for a share of the
            # two rows' time (another program that shares the CPU, a compiler beside the
            # tests, may be named too and push a loop out of the three).
            loops = [c for c in cause["culprits"] if c["pid"] in {p.pid for p in busy}]
            self.assertGreaterEqual(len(loops), 1, cause)
            for c in loops:
                self.assertEqual(c["name"], "cgbusy")
            ran = sum(c["cpu_ns"] for c in loops)
            if loops[0]["seen"] == "switches":
                # They ran while the monitor waited: most of its wait, never more.
                self.assertGreater(ran, 0.5 * cause["wait_excess_ns"], cause)
                self.assertLessEqual(ran, cause["run_delay_ns"], cause)
            else:
                self.assertGreater(ran, 0.1 * cause["span_ns"], cause)
            loop_pids.update(c["pid"] for c in loops)
        self.assertGreaterEqual(len(loop_pids), 2, loop_pids)
        total = json.loads(out.splitlines()[-1])
        self.assertEqual(total["stalls"]["causes"]["cpu_contention"], kinds.count("cpu_contention"))
        self.assertEqual(total["stalls"]["culprits"][0],
                         {"name": "cgbusy", "stall_rows": kinds.count("cpu_contention"),
                          "seen": stalls[-1]["cause"]["culprits"][0]["seen"]})
        with open(os.path.join(folder, "clockgap.prom")) as f:
            metrics = f.read()
        self.assertIn('clockgap_stall_rows_total{cause="cpu_contention"} '
                      f'{kinds.count("cpu_contention")}\n', metrics)
        # A later report of the day files names the same causes; without the causes kept
        # beside them, every stall is unknown.
        page = os.path.join(folder, "page.html")
        later = report_json("--stall", "5", "--html", page, folder)["stalls"]
        self.assertEqual(later["causes"], total["stalls"]["causes"])
        self.assertEqual(later["culprits"], total["stalls"]["culprits"])
        with open(page) as f:
            html = f.read()
        self.assertIn(f'cpu_contention {kinds.count("cpu_contention")}, mostly cgbusy</text>', html)
        self.assertEqual(html.count('<circle class="cause-cpu_contention"'),
                         kinds.count("cpu_contention") + 1)  # a column a second, and the legend
        for causes in glob.glob(os.path.join(folder, "*.causes")):
            os.remove(causes)
        bare = report_json("--stall", "5", folder)["stalls"]
        self.assertEqual(bare["causes"]["unknown"], bare["rows"])


SPINNER = os.environ.get("CLOCKGAP_SPINNER", "build/tests/clockgap_spinner")

BURSTS = """
import time
while True:
    start = time.monotonic()
    while time.monotonic() - start < 0.3:
        pass
    time.sleep(0.7)
"""

NO_CAPABILITIES = ["setpriv", "--bounding-set=-all", "--inh-caps=-all"]


class Culprits(unittest.TestCase):
    """Who took the monitor's CPU, as the kernel's switch records show it and, where they
    are refused, as the threads last seen on it: a server whose first thread sleeps on
    the other CPU while its workers spin on the monitor's is named; a process busy on the
    other CPU throughout never is; a real-time burst is."""

    def setUp(self):
        if os.cpu_count() < 2:
            self.skipTest("needs two CPUs")
        self.folder = tempfile.mkdtemp(prefix="clockgap-culprits-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.cpu = os.cpu_count() - 1
        self.other = self.cpu - 1

    def start(self, name, program, args, before=()):
        """`program` under its own name (a process's name is the file it was started
        from), after the programs `before` that exec it; stopped at the end."""
        path = os.path.join(self.folder, name)
        os.symlink(program, path)
        p = subprocess.Popen([*before, path, *args])
        self.addCleanup(lambda: (p.kill(), p.wait()))
        return p

    def watch(self, wrapper, want, enough=lambda cause: True):
        """Stall events of a monitor pinned to self.cpu, the monitor and the watch each run
        with `wrapper`, until `want` of them are named cpu_contention and `enough`. Both
        stay in this test's session: the kernel shares a CPU fairly between sessions
        (autogroups), and the busy processes are in this one."""
        monitor = subprocess.Popen([*wrapper, "taskset", "-c", str(self.cpu), harness.BINARY, "1"],
                                   stdout=subprocess.PIPE)
        watch = subprocess.Popen([*wrapper, REPORT, "--follow", "--json", "--stall", "5"],
                                 stdin=monitor.stdout, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        monitor.stdout.close()
        named = []
        try:
            deadline = time.time() + 60
            while time.time() < deadline and len(named) < want:
                text = watch.stdout.readline()
                if not text:
                    break
                event = json.loads(text)
                cause = event.get("cause", {})
                if event["event"] == "stall" and cause.get("kind") == "cpu_contention" \
                        and enough(cause):
                    named.append(cause)
        finally:
            monitor.kill()
            monitor.wait()
            _, err = watch.communicate(timeout=30)
        for cause in named:
            print(f"\n{[(c['pid'], c['name'], c['cpu_ns'], c['tids'], c['seen']) for c in cause.get('culprits', [])]}",
                  file=sys.stderr)
        self.assertEqual(len(named), want, err)
        return named, err

    def switches_refused(self, err):
        return "refuses the watch the context switches" in err or \
            "gives no context switches" in err

    def test_a_server_shaped_culprit_is_named_and_a_bystander_never(self):
        server = self.start("cgserver", os.path.abspath(SPINNER),
                            [str(self.other), str(self.cpu), "3"])
        bystander = self.start("cgbystander", shutil.which("sh"), ["-c", "while :; do :; done"],
                               ["taskset", "-c", str(self.other)])
        for seen, wrapper in (("switches", []), ("sampled", NO_CAPABILITIES)):
            with self.subTest(seen=seen):
                stalls, err = self.watch(wrapper, 6)
                if seen == "switches" and self.switches_refused(err):
                    self.skipTest(f"this machine refuses context switches even to root: {err}")
                refusals = err.count("refuses the watch the context switches")
                self.assertEqual(refusals, 0 if seen == "switches" else 1, err)
                pids = [[c["pid"] for c in cause.get("culprits", [])] for cause in stalls]
                # Sampling needs a listing before the span: the first stalls may name none.
                named = sum(server.pid in p for p in pids)
                self.assertGreaterEqual(named, 5 if seen == "switches" else 3, (pids, err))
                for cause in stalls:
                    for c in cause.get("culprits", []):
                        self.assertNotEqual(c["pid"], bystander.pid, cause)
                        self.assertEqual(c["seen"], seen, cause)
                        if c["pid"] == server.pid:
                            self.assertEqual(c["name"], "cgserver")
                            # Its workers by thread id, never its sleeping first thread.
                            self.assertTrue(c["tids"] and server.pid not in c["tids"], c)

    def test_a_real_time_burst_is_named(self):
        if subprocess.run(["chrt", "-f", "10", "true"]).returncode != 0:
            self.skipTest("real-time scheduling is refused here")
        burst = self.start("cgburst", shutil.which("python3"), ["-c", BURSTS],
                           ["chrt", "-f", "10", "taskset", "-c", str(self.cpu)])
        stalls, err = self.watch([], 2, lambda cause: cause["wait_excess_ns"] > 100_000_000)
        if self.switches_refused(err):
            self.skipTest(f"this machine refuses context switches even to root: {err}")
        for cause in stalls:
            top = cause["culprits"][0]
            self.assertEqual((top["pid"], top["name"], top["seen"]),
                             (burst.pid, "cgburst", "switches"), cause)
            self.assertGreater(top["cpu_ns"], 100_000_000, cause)


class FullDisk(unittest.TestCase):
    """The causes kept beside the day files on a full disk, beside a standard output that
    works: each failure is said as the file's own, once; the event lines go on."""

    def test_a_causes_file_on_a_full_disk(self):
        folder = tempfile.mkdtemp(prefix="clockgap-full-")
        self.addCleanup(shutil.rmtree, folder, True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", folder])
        cpu = str(os.cpu_count() - 1)
        loop = busy_loop_program(tempfile.mkdtemp(dir="/tmp"), "cgfull")
        busy = [subprocess.Popen(["taskset", "-c", cpu, loop, "-c", "while :; do :; done"])
                for _ in range(3)]
        monitor = subprocess.Popen(["taskset", "-c", cpu, harness.BINARY, "1"],
                                   stdout=subprocess.PIPE)
        watch = subprocess.Popen(
            [REPORT, "--follow", "--json", "--stall", "1", "--log",
             os.path.join(folder, "clockgap-%Y-%m-%d.log")],
            stdin=monitor.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        monitor.stdout.close()
        try:
            follow_events(watch, 1, 40)  # the watch runs, its day file begun
            with open(os.path.join(folder, "filler"), "wb") as f:
                try:
                    f.write(b"x" * 65536)
                    f.flush()
                except OSError:
                    pass  # the disk is full now
            stalls = follow_events(watch, 4, 40)
        finally:
            for p in busy:
                p.kill()
                p.wait()
            monitor.kill()
            monitor.wait()
            out, err = watch.communicate(timeout=30)
        named = [e for e in stalls if e["cause"]["kind"] != "unknown"]
        self.assertGreaterEqual(len(named), 2, (stalls, err))  # causes to keep, live
        self.assertEqual(err.count(".causes (No space left on device)"), 1, err)
        self.assertNotIn("standard output", err)
        self.assertEqual(json.loads(out.splitlines()[-1])["ended_by"], "end of input")
        self.assertEqual(watch.returncode, 1, err)  # causes were lost


class Stopped(unittest.TestCase):
    """A monitor writing a file that the watch follows, stopped for 3 s: the silence and
    the row after it are named stopped, in the JSON."""

    def test_a_stopped_monitor_is_named_live_and_after(self):
        folder = tempfile.mkdtemp(prefix="clockgap-stopped-")
        self.addCleanup(shutil.rmtree, folder, True)
        log = os.path.join(folder, "run.log")
        with open(log, "wb") as out:
            monitor = subprocess.Popen([harness.BINARY, "1"], stdout=out)
        watch = subprocess.Popen([REPORT, "--follow", "--json", "--alert", "1000", log],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(3.5)
            os.kill(monitor.pid, signal.SIGSTOP)
            time.sleep(3)
            os.kill(monitor.pid, signal.SIGCONT)
            time.sleep(2)
        finally:
            os.kill(monitor.pid, signal.SIGCONT)
            monitor.kill()
            monitor.wait()
            watch.send_signal(signal.SIGINT)
            out, err = watch.communicate(timeout=30)
        events = [json.loads(line) for line in out.splitlines()[:-1]]
        silence = [e for e in events if e["event"] == "no_row"]
        stall = [e for e in events if e["event"] == "stall"]
        # A silence every 2 s until the row after it, each named by what held it so far.
        self.assertGreaterEqual(len(silence), 1, events)
        self.assertEqual({e["cause"]["kind"] for e in silence}, {"stopped"}, silence)
        self.assertTrue(silence[0]["cause"]["stopped"])
        self.assertEqual(len(stall), 1, events)
        self.assertGreater(stall[0]["gap_ns"], 2_500_000_000)
        self.assertEqual(stall[0]["cause"]["kind"], "stopped", stall)


class ClockSet(unittest.TestCase):
    """The wall clock set for the monitor and the watch alike (libfaketime, one offset
    file): forward 30 s, the gap above 5 s is the step, not a hold-up; back 4 s, the
    silence while the monitor waits for its clock and the step back are the clock set."""

    def events_around_a_step(self, offset, after_s):
        """The watch's JSON events for a monitor 3.5 s into its run when both programs'
        clocks are set by `offset`, and `after_s` after it."""
        clock = FakeClock()
        env = dict(os.environ, **clock.env())
        monitor = subprocess.Popen([harness.BINARY, "1"], stdout=subprocess.PIPE, env=env)
        watch = subprocess.Popen([REPORT, "--follow", "--json", "--alert", "1000"],
                                 stdin=monitor.stdout, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=env, text=True)
        monitor.stdout.close()
        try:
            time.sleep(3.5)
            clock.step(offset)
            time.sleep(after_s)
        finally:
            monitor.kill()
            monitor.wait()
            out, err = watch.communicate(timeout=30)
        return [json.loads(line) for line in out.splitlines()[:-1]], err

    def test_a_clock_set_forward_is_named_so(self):
        events, err = self.events_around_a_step("+30s", 3)
        above = [e for e in events if e["event"] == "gap_above_5s"]
        self.assertEqual(len(above), 1, (events, err))
        cause = above[0]["cause"]
        self.assertEqual(cause["kind"], "clock_set", cause)
        self.assertAlmostEqual(cause["clock_set_ns"] / 1e9, 30, delta=0.5)

    def test_a_clock_set_back_is_named_so_while_the_monitor_waits_and_after(self):
        events, err = self.events_around_a_step("-4s", 5.5)
        # The monitor ran all along and rightly wrote nothing until the clock passed its
        # last row again: the silence is the clock set, with the next row still due.
        silence = [e for e in events if e["event"] == "no_row"]
        self.assertGreaterEqual(len(silence), 1, (events, err))
        for event in silence:
            cause = event["cause"]
            self.assertEqual(cause["kind"], "clock_set", cause)
            self.assertGreater(cause["row_due_ns"], 0, cause)
            self.assertAlmostEqual(cause["clock_set_ns"] / 1e9, -4, delta=0.5)
        back = [e for e in events if e["event"] == "clock_set_back"]
        self.assertEqual(len(back), 1, events)
        self.assertEqual(back[0]["cause"]["kind"], "clock_set", back)


class Throttled(unittest.TestCase):
    """The monitor and a busy loop in a cgroup with a CPU quota of half a CPU: every stall
    is the limit, not contention, and the busy loop in the group is named."""

    def test_a_cpu_quota_is_named_throttled(self):
        group = CpuGroup(self, "cpu")
        group.write("cpu.cfs_period_us", "100000")
        group.write("cpu.cfs_quota_us", "50000")
        folder = tempfile.mkdtemp(prefix="clockgap-throttled-")
        self.addCleanup(shutil.rmtree, folder, True)
        busy = group.start([busy_loop_program(folder, "cgquota"), "-c", "while :; do :; done"])
        monitor = group.start([harness.BINARY, "1"], stdout=subprocess.PIPE)
        watch = subprocess.Popen([REPORT, "--follow", "--json", "--stall", "5"],
                                 stdin=monitor.stdout, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        monitor.stdout.close()
        try:
            stalls = follow_events(watch, 5, 40)
        finally:
            busy.kill()
            busy.wait()
            monitor.kill()
            monitor.wait()
            out, err = watch.communicate(timeout=30)
        for event in stalls:
            print(f"\n{event['gap_ns'] / 1e6:.2f} ms: {event['cause']}", file=sys.stderr)
        kinds = [event["cause"]["kind"] for event in stalls]
        self.assertEqual(len(kinds), 5, err)
        self.assertEqual(set(kinds[1:]), {"throttled"}, kinds)
        for event in stalls[1:]:
            cause = event["cause"]
            self.assertEqual(cause["cpu_limit_millicpus"], 500, cause)
            self.assertGreaterEqual(cause["throttled_ns"], event["gap_ns"] / 2, cause)
            self.assertGreater(cause["throttled_periods"], 0, cause)
            self.assertEqual([(c["pid"], c["name"]) for c in cause["culprits"]],
                             [(busy.pid, "cgquota")], cause)
            self.assertTrue(cause["culprits"][0]["cgroup"].startswith("/clockgap-test-"), cause)


class Frozen(unittest.TestCase):
    """The monitor's cgroup frozen for 3 s by the v1 freezer, the watch outside it: the
    silence and the row after it are named frozen, not stopped."""

    def test_a_frozen_group_is_named_live_and_after(self):
        group = CpuGroup(self, "freezer")
        folder = tempfile.mkdtemp(prefix="clockgap-frozen-")
        self.addCleanup(shutil.rmtree, folder, True)
        log = os.path.join(folder, "run.log")
        with open(log, "wb") as out:
            monitor = group.start([harness.BINARY, "1"], stdout=out)
        self.addCleanup(group.write, "freezer.state", "THAWED")
        watch = subprocess.Popen([REPORT, "--follow", "--json", "--alert", "1000", log],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(3.5)
            group.write("freezer.state", "FROZEN")
            time.sleep(3)
            group.write("freezer.state", "THAWED")
            time.sleep(2)
        finally:
            group.write("freezer.state", "THAWED")
            monitor.kill()
            monitor.wait()
            watch.send_signal(signal.SIGINT)
            out, err = watch.communicate(timeout=30)
        events = [json.loads(line) for line in out.splitlines()[:-1]]
        silence = [e for e in events if e["event"] == "no_row"]
        stall = [e for e in events if e["event"] == "stall"]
        self.assertGreaterEqual(len(silence), 1, (events, err))
        self.assertEqual({e["cause"]["kind"] for e in silence}, {"frozen"}, silence)
        self.assertEqual(silence[0]["cause"]["stopped"], False)
        self.assertEqual(len(stall), 1, events)
        self.assertGreater(stall[0]["gap_ns"], 2_500_000_000)
        self.assertEqual(stall[0]["cause"]["kind"], "frozen", stall)


class HiddenProc(unittest.TestCase):
    """/proc as the systemd unit's ProtectProc=invisible mounts it (other users' processes
    hidden) still shows the watch its monitor, /proc/stat and /proc/pressure; a /proc of
    process folders alone (ProcSubset=pid) leaves steal and pressure out, said once."""

    def unit_proc_options(self):
        """The mount options of the unit's /proc, from its ProtectProc= and ProcSubset=."""
        with open(UNIT) as f:
            settings = dict(line.strip().split("=", 1) for line in f
                            if line.startswith(("ProtectProc=", "ProcSubset=")))
        options = [f"hidepid={settings.get('ProtectProc', 'default')}"]
        if "ProcSubset" in settings:
            options.append(f"subset={settings['ProcSubset']}")
        return ",".join(options).replace("hidepid=default", "hidepid=0")

    def watch_in_own_proc(self, options, before="", pipeline=None, want=3,
                          enough=lambda cause: False):
        if subprocess.run(["unshare", "-m", "-p", "-f", "true"]).returncode != 0:
            self.skipTest("no mount and PID namespaces here")
        pipeline = pipeline or (f"{shlex.quote(harness.BINARY)} 1 | {shlex.quote(REPORT)} "
                                 "--follow --json --stall 1")
        script = f"mount -t proc -o {options} proc /proc && {before}{pipeline}"
        run = subprocess.Popen(["unshare", "-m", "-p", "-f", "--kill-child", "--propagation", "private",
                                "sh", "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        causes = []
        try:
            while len(causes) < want:
                line = run.stdout.readline()
                if not line:
                    break
                cause = json.loads(line).get("cause", {})
                if "span_ns" in cause:
                    causes.append(cause)
                    if enough(cause):
                        break
        finally:
            run.kill()  # its PID namespace ends with it, and the monitor and watch too
            _, err = run.communicate(timeout=30)
        self.assertTrue(len(causes) == want or (causes and enough(causes[-1])), err)
        return causes, err

    def test_the_units_proc_shows_the_watch_what_it_reads(self):
        causes, err = self.watch_in_own_proc(self.unit_proc_options())
        for cause in causes:
            self.assertIn("run_delay_ns", cause)
            self.assertIn("steal_ns", cause)
            self.assertIn("psi_memory_full_us", cause)
        self.assertNotIn("does not give", err)
        causes, err = self.watch_in_own_proc("subset=pid")
        for cause in causes:
            self.assertIn("run_delay_ns", cause)
            self.assertNotIn("steal_ns", cause)
            self.assertNotIn("psi_memory_full_us", cause)
        self.assertEqual(err.count("does not give steal time"), 1, err)
        self.assertEqual(err.count("does not give pressure totals"), 1, err)

    def unit_settings(self, name):
        with open(UNIT) as f:
            return [line.strip().split("=", 1)[1] for line in f if line.startswith(name + "=")]

    def test_the_units_capabilities_let_the_watch_read_switches(self):
        """As the unit runs it, with only the capabilities it gives (in its bounding and
        ambient sets), its system calls and its /proc: the switch records are read, and
        busy loops on the monitor's CPU are named by them."""
        if not shutil.which("setpriv"):
            self.skipTest("no setpriv here")
        (bounding,) = self.unit_settings("CapabilityBoundingSet")
        (ambient,) = self.unit_settings("AmbientCapabilities")
        self.assertEqual(self.unit_settings("PrivateUsers"), ["no"])  # else caps stay inside
        allowed = " ".join(self.unit_settings("SystemCallFilter"))
        self.assertIn("perf_event_open", allowed.split())
        denied = subprocess.run(["systemd-analyze", "syscall-filter",
                                 *[g for g in allowed.replace("~", "").split() if g.startswith("@")
                                   and g not in ("@system-service",)]],
                                capture_output=True, text=True).stdout.split()
        self.assertNotIn("perf_event_open", denied)
        caps = lambda names: ",".join(["-all"] + ["+" + n.lower().removeprefix("cap_")
                                                  for n in names.split()])
        cpu = os.cpu_count() - 1
        loop = f"taskset -c {cpu} sh -c 'while :; do :; done' &"
        inner = (f"{shlex.quote(harness.BINARY)} 1 | {shlex.quote(REPORT)} "
                 "--follow --json --stall 1")
        pipeline = (f"setpriv --bounding-set={caps(bounding)} --inh-caps={caps(ambient)} "
                    f"--ambient-caps={caps(ambient)} taskset -c {cpu} sh -c {shlex.quote(inner)}")
        causes, err = self.watch_in_own_proc(
            self.unit_proc_options(), f"({loop} {loop} {loop}); ", pipeline, 8,
            lambda cause: "culprits" in cause)
        self.assertNotIn("context switches", err)
        seen = {c["seen"] for cause in causes for c in cause.get("culprits", [])}
        self.assertEqual(seen, {"switches"}, (causes, err))

    def test_the_units_proc_shows_another_users_busy_loop(self):
        """As the unit runs it, a root without capabilities: busy loops of another user on
        the monitor's CPU are named. A /proc that hides them (hidepid=invisible, seen by a
        group other than root's, which it exempts) leaves them out."""
        if not shutil.which("setpriv"):
            self.skipTest("no setpriv here")
        cpu = os.cpu_count() - 1
        loop = (f"setpriv --reuid=65534 --regid=65534 --clear-groups "
                f"taskset -c {cpu} sh -c 'while :; do :; done' &")
        before = f"({loop} {loop} {loop}); "
        for options, group, named in ((self.unit_proc_options(), 0, True),
                                      ("hidepid=invisible", 1, False)):
            with self.subTest(options=options, group=group):
                inner = (f"{shlex.quote(harness.BINARY)} 1 | {shlex.quote(REPORT)} "
                         "--follow --json --stall 1")
                pipeline = (f"setpriv --regid={group} --clear-groups --bounding-set=-all "
                            f"--inh-caps=-all taskset -c {cpu} sh -c {shlex.quote(inner)}")
                causes, err = self.watch_in_own_proc(
                    options, before, pipeline, 8, lambda cause: "culprits" in cause)
                culprits = [c for cause in causes for c in cause.get("culprits", [])]
                # The loops held the monitor up either way; only who is named differs.
                self.assertIn("cpu_contention", [cause["kind"] for cause in causes], err)
                self.assertEqual(any(c["cpu_ns"] > 0 for c in culprits), named, (causes, err))


class NotLive(unittest.TestCase):
    """Rows that are not a live local monitor's are never explained by the machine now."""

    def stall_causes(self, writer_args, text):
        writer = subprocess.Popen(writer_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        watch = subprocess.Popen([REPORT, "--follow", "--json"], stdin=writer.stdout,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        writer.stdout.close()
        writer.stdin.write(text.encode())
        writer.stdin.close()
        writer.wait(timeout=30)
        out, err = watch.communicate(timeout=30)
        self.assertEqual(watch.returncode, 0, err)
        events = [json.loads(line) for line in out.splitlines()[:-1]]
        return [e["cause"]["kind"] for e in events if "cause" in e], json.loads(
            out.splitlines()[-1])

    def test_a_replayed_log_and_a_writer_that_is_not_the_monitor_say_unknown(self):
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        for what, start in (("a log of last week", now - datetime.timedelta(days=7)),
                            ("live rows from another program", now)):
            with self.subTest(what):
                lines = [f"Starting at {start:%H:%M:%S}.144", harness.HEADER]
                for i in range(1, 6):
                    lines.append(row_line(f"{start + datetime.timedelta(seconds=i):%Y-%m-%d %H:%M:%S}",
                                          counts=STALL, max_gap=60_000_000))
                kinds, total = self.stall_causes(["cat"], "\n".join(lines) + "\n")
                self.assertEqual(kinds, ["unknown"] * 5)
                self.assertEqual(total["stalls"]["causes"]["unknown"], 5)


if __name__ == "__main__":
    unittest.main()
