"""Installing: cmake --install, the man pages, and the Debian package installed with
dpkg into a throwaway root, whose programs then run."""

import glob
import os
import time
import shutil
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

BUILD = os.environ.get("CLOCKGAP_BUILD", "build")
SOURCE = os.environ.get("CLOCKGAP_SOURCE", ".")
PAGES = ["clockgap.1", "clockgap-report.1"]


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=300, **kwargs)


def man(path, width=80):
    """A page as man shows it, without the overstrikes it uses for bold and underline."""
    result = run("man", "--warnings", "-l", path, env=dict(os.environ, MANWIDTH=str(width)))
    return result, re.sub(rb".\x08", b"", result.stdout)


def check_installed_programs(test, root):
    """The installed monitor starts and writes its header; the report reads a log."""
    with harness.Run(command=[os.path.join(root, "bin", "clockgap")]) as monitor:
        test.assertRegex(harness.text_line(monitor.read_line()), harness.START)
        test.assertEqual(harness.text_line(monitor.read_line()), harness.HEADER)
    log = os.path.join(SOURCE, "docs", "example.log")
    result = run(os.path.join(root, "bin", "clockgap-report"), log)
    test.assertEqual(result.returncode, 0, result.stderr)
    test.assertIn(b"Rows:        17, from", result.stdout)
    for page in PAGES:
        result, text = man(os.path.join(root, "share", "man", "man1", page + ".gz"))
        test.assertEqual(result.returncode, 0, result.stderr)
        test.assertEqual(result.stderr, b"", page)
        test.assertIn(b"EXIT STATUS", text)


class ManPages(unittest.TestCase):
    def test_lint_clean(self):
        for page in PAGES:
            with self.subTest(page=page):
                path = os.path.join(SOURCE, "man", page)
                lint = run("mandoc", "-T", "lint", "-W", "warning", path)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))
                result, text = man(path)
                self.assertEqual(result.stderr, b"")
                for section in (b"NAME", b"SYNOPSIS", b"DESCRIPTION", b"EXAMPLES",
                                b"EXIT STATUS", b"SEE ALSO"):
                    self.assertIn(b"\n" + section + b"\n", text)

    def test_every_option_is_in_its_man_page(self):
        """The options of each program's help (clockgap-report's come from its table of
        options) are the entries of its man page's OPTIONS, and no more."""
        report = os.path.join(BUILD, "clockgap-report")
        for program, page in ((report, "clockgap-report.1"),
                              (os.path.join(BUILD, "clockgap"), "clockgap.1")):
            with self.subTest(page=page):
                text = run(program, "--help").stdout.decode()
                helped = set(re.findall(r"^  (--[a-z-]+)", text, re.M))
                helped |= set(re.findall(r"\[(--[a-z-]+)", text.split("\n\n")[0]))
                with open(os.path.join(SOURCE, "man", page)) as f:
                    roff = f.read()
                options = "\n" + roff.split("\n.SH OPTIONS\n")[1].split("\n.SH ")[0]
                entries = set(re.findall(r"\n\.TP\n\.B[IR]? \\-\\-([a-z-]+)", options))
                self.assertEqual({"--" + e for e in entries}, helped | {"--help", "--version"})

    def test_every_column_is_described(self):
        _, text = man(os.path.join(SOURCE, "man", "clockgap.1"), width=200)
        for column in harness.HEADER.split(","):
            self.assertIn(column.strip().encode(), text)


class Install(unittest.TestCase):
    def test_cmake_install(self):
        with tempfile.TemporaryDirectory() as prefix:
            result = run("cmake", "--install", BUILD, "--prefix", prefix)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(sorted(os.listdir(os.path.join(prefix, "bin"))),
                             ["clockgap", "clockgap-report"])
            self.assertEqual(sorted(os.listdir(os.path.join(prefix, "share", "man", "man1"))),
                             ["clockgap-report.1.gz", "clockgap.1.gz"])
            check_installed_programs(self, prefix)
            # The service runs the programs of this prefix.
            with open(os.path.join(prefix, "lib", "systemd", "system", "clockgap.service")) as f:
                unit = f.read()
            self.assertIn(f'exec "{prefix}/bin/clockgap" 1 | exec "{prefix}/bin/clockgap-report" '
                          "--follow", unit)
            self.assertTrue(os.path.exists(
                os.path.join(prefix, "share", "clockgap", "clockgap-rules.yml")))

    def test_debian_package(self):
        with tempfile.TemporaryDirectory() as work:
            made = run("cpack", "-G", "DEB", "-B", work, cwd=BUILD)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
            (package,) = glob.glob(os.path.join(work, "clockgap_*_amd64.deb"))
            info = run("dpkg-deb", "-I", package).stdout.decode()
            self.assertIn("Package: clockgap", info)
            # A static build needs no library; a dynamic one says which it needs.
            static = b"INTERP" not in run("readelf", "-l", os.path.join(BUILD, "clockgap")).stdout
            if static:
                self.assertNotIn("Depends:", info)
            else:
                self.assertRegex(info, r"Depends: .*libc6 \(>= [0-9.]+\).*libstdc\+\+6")
            contents = run("dpkg-deb", "-c", package).stdout.decode()
            for path in ("./usr/bin/clockgap", "./usr/bin/clockgap-report",
                         "./usr/share/man/man1/clockgap.1.gz",
                         "./usr/share/man/man1/clockgap-report.1.gz",
                         "./usr/lib/systemd/system/clockgap.service",
                         "./usr/share/clockgap/clockgap-rules.yml"):
                self.assertIn(path + "\n", contents)

            # dpkg -i into a root of its own: an empty package database, no dependencies.
            root = os.path.join(work, "root")
            os.makedirs(os.path.join(root, "var", "lib", "dpkg", "info"))
            os.makedirs(os.path.join(root, "var", "lib", "dpkg", "updates"))
            open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
            # The maintainer scripts run outside the root, told of it by DPKG_ROOT.
            dpkg = ["dpkg", f"--root={root}", "--force-depends", "--force-script-chrootless",
                    "--log=/dev/null"]
            installed = run(*dpkg, "-i", package)
            self.assertEqual(installed.returncode, 0, installed.stderr)
            listed = run("dpkg", f"--root={root}", "-l", "clockgap").stdout.decode()
            self.assertRegex(listed, r"\nii  clockgap ")
            check_installed_programs(self, os.path.join(root, "usr"))
            # Installed, not enabled: nothing links to the unit.
            unit = os.path.join(root, "usr", "lib", "systemd", "system", "clockgap.service")
            self.assertTrue(os.path.exists(unit))
            self.assertFalse(os.path.exists(os.path.join(root, "etc", "systemd")))
            if shutil.which("systemd-analyze"):
                verified = run("systemd-analyze", "verify", "--man=no", unit)
                self.assertEqual((verified.returncode, verified.stderr), (0, b""))
                rated = run("systemd-analyze", "security", "--offline=true", unit)
                exposure = re.search(rb"Overall exposure level for clockgap.service: ([0-9.]+)",
                                     rated.stdout)
                self.assertIsNotNone(exposure, rated.stdout + rated.stderr)
                self.assertLessEqual(float(exposure.group(1)), 2.0, rated.stdout)

            # What the service made: removing the package takes the metrics file (a stale
            # one would be scraped as if the monitor still ran), purging also the logs.
            metrics = os.path.join(root, "var", "lib", "prometheus", "node-exporter")
            logs = os.path.join(root, "var", "log", "clockgap")
            os.makedirs(metrics)
            os.makedirs(logs)
            for path in (os.path.join(metrics, "clockgap.prom"),
                         os.path.join(metrics, "clockgap.prom.4242"),
                         os.path.join(metrics, "other.prom"),
                         os.path.join(logs, "clockgap-2026-12-07.log")):
                open(path, "w").close()
            removed = run(*dpkg, "-r", "clockgap")
            self.assertEqual(removed.returncode, 0, removed.stderr)
            self.assertEqual(os.listdir(metrics), ["other.prom"])
            self.assertEqual(os.listdir(logs), ["clockgap-2026-12-07.log"])
            purged = run(*dpkg, "-P", "clockgap")
            self.assertEqual(purged.returncode, 0, purged.stderr)
            self.assertFalse(os.path.exists(logs))
            left = [os.path.relpath(os.path.join(d, f), root)
                    for d, _, files in os.walk(root) for f in files
                    if not os.path.relpath(d, root).startswith(os.path.join("var", "lib", "dpkg"))]
            self.assertEqual(left, [os.path.join("var", "lib", "prometheus", "node-exporter",
                                                 "other.prom")])

    @unittest.skipUnless(os.path.isdir("/run/systemd/system") and os.geteuid() == 0,
                         "needs a machine that runs systemd, as root")
    def test_the_service_writes_both_outputs(self):
        # The unit as shipped, run from this build for a few seconds as a runtime unit.
        with open(os.path.join(SOURCE, "contrib", "systemd", "clockgap.service.in")) as f:
            unit = f.read().replace("@CMAKE_INSTALL_FULL_BINDIR@", os.path.abspath(BUILD))
        os.makedirs("/var/lib/prometheus/node-exporter", exist_ok=True)
        path = "/run/systemd/system/clockgap-test.service"
        with open(path, "w") as f:
            f.write(unit)
        try:
            run("systemctl", "daemon-reload")
            started = run("systemctl", "start", "clockgap-test.service")
            self.assertEqual(started.returncode, 0, started.stderr)
            time.sleep(4)
            self.assertTrue(glob.glob("/var/log/clockgap/clockgap-*.log"))
            with open("/var/lib/prometheus/node-exporter/clockgap.prom") as f:
                self.assertIn("clockgap_rows_total", f.read())
        finally:
            run("systemctl", "stop", "clockgap-test.service")
            os.remove(path)
            run("systemctl", "daemon-reload")

class ServiceRestart(unittest.TestCase):
    """The service's command, as the unit gives it, ends whichever program dies, so that
    Restart=always starts both again (machines without systemd cannot start the unit
    itself; systemd-analyze verify checks its settings)."""

    def unit(self):
        with open(os.path.join(SOURCE, "contrib", "systemd", "clockgap.service.in")) as f:
            return f.read().replace("@CMAKE_INSTALL_FULL_BINDIR@", os.path.abspath(BUILD))

    def test_the_unit_restarts_always_and_never_gives_up(self):
        unit = self.unit()
        self.assertRegex(unit, r"\nRestart=always\n")
        self.assertRegex(unit, r"\nRestartSec=[1-9]")
        self.assertRegex(unit, r"\[Unit\][^[]*\nStartLimitIntervalSec=0\n")
        self.assertIn('/clockgap" 1 |', unit)
        if shutil.which("systemd-analyze"):
            with tempfile.TemporaryDirectory() as d:
                path = os.path.join(d, "clockgap.service")
                with open(path, "w") as f:
                    f.write(unit)
                verified = run("systemd-analyze", "verify", "--man=no", path)
                self.assertEqual(verified.returncode, 0, verified.stderr)

    def test_the_command_ends_when_either_program_dies(self):
        command = re.search(r"\nExecStart=/bin/sh -c '(.*)'\n", self.unit()).group(1)
        for victim in ("clockgap", "clockgap-report"):
            with self.subTest(killed=victim), tempfile.TemporaryDirectory() as d:
                line = (command.replace("%%", "%").replace("/var/log/clockgap", d)
                        .replace("/var/lib/prometheus/node-exporter", d))
                shell = subprocess.Popen(["/bin/sh", "-c", line], start_new_session=True)
                try:
                    time.sleep(2.5)
                    names = {}
                    for p in filter(str.isdigit, os.listdir("/proc")):
                        try:
                            with open(f"/proc/{p}/stat") as f:
                                name, rest = f.read().split(" (", 1)[1].rsplit(") ", 1)
                        except OSError:
                            continue
                        if rest.split()[1] == str(shell.pid):
                            names[name] = int(p)
                    self.assertEqual(sorted(names), ["clockgap", "clockgap-report"])
                    os.kill(names[victim], 9)
                    shell.wait(timeout=10)  # the other program followed it
                finally:
                    try:
                        os.killpg(shell.pid, 9)
                    except ProcessLookupError:
                        pass
                    shell.wait()
                self.assertTrue(glob.glob(os.path.join(d, "clockgap-*.log")))


if __name__ == "__main__":
    unittest.main()
