"""The installer package clockgap-VERSION-win64.msi: its tables as wixl wrote them, and,
under Wine's msiexec in a prefix of the test's own, a silent install with settings as
properties, a killed monitor, an upgrade, a repair, the removal and wrong settings."""

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
from harness import free_port, http_get  # noqa: E402

MSI = os.environ.get("CLOCKGAP_MSI", "")
STAGE = os.environ.get("CLOCKGAP_MSI_STAGE", "")
MAKE_MSI = os.environ.get("CLOCKGAP_MAKE_MSI", "")
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\clockgap"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
LOG_DIR = "C:\\clockgap-test"
PROGRAMS = ("clockgap.exe", "clockgap-report.exe", "clockgap-service.exe")
VERSION = re.search(r"clockgap-([\d.]+)-win64\.msi$", MSI).group(1) if MSI else ""


def msi_table(name):
    """The rows of a table of the package, as msiinfo exports them."""
    out = subprocess.run(["msiinfo", "export", MSI, name], capture_output=True, text=True,
                         check=True).stdout
    return [line.split("\t") for line in out.splitlines()[3:]]


@unittest.skipUnless(MSI, "needs the Windows build")
class PackageTables(unittest.TestCase):
    """What the installation relies on is in the package: a wixl that drops a table or
    orders the actions otherwise is seen here, before Wine runs it."""

    def test_tables_actions_and_their_order(self):
        tables = subprocess.run(["msiinfo", "tables", MSI], capture_output=True, text=True,
                                check=True).stdout.split()
        for table in ("File", "Component", "Directory", "Feature", "FeatureComponents", "Media",
                      "Property", "Binary", "CustomAction", "InstallExecuteSequence",
                      "ServiceControl", "Upgrade", "LaunchCondition"):
            self.assertIn(table, tables)
        files = sorted(row[2].split("|")[-1] for row in msi_table("File"))
        self.assertEqual(files, sorted(["INSTALL.txt", "clockgap-rules.test.yml",
                                        "clockgap-rules.yml", *PROGRAMS]))
        [control] = msi_table("ServiceControl")
        self.assertEqual(control[1], "clockgap")
        self.assertEqual(int(control[2]), 1 | 2 | 32)  # start at install; stop at both
        properties = dict(row[:2] for row in msi_table("Property"))
        secure = properties["SecureCustomProperties"].split(";")
        for name in ("PERIOD", "LOGDIR", "KEEP", "GZIP", "PROMETHEUS", "LISTEN", "FIREWALL"):
            self.assertIn(name, secure)
        self.assertEqual(properties["ProductVersion"], VERSION)
        order = {row[0]: int(row[2]) for row in msi_table("InstallExecuteSequence")}
        for earlier, later in (("CostFinalize", "CheckSettings"),
                               ("CheckSettings", "InstallValidate"),
                               ("InstallValidate", "RemoveExistingProducts"),
                               ("RemoveExistingProducts", "InstallInitialize"),
                               ("StopServices", "UninstallService"),
                               ("UninstallService", "RemoveFiles"),
                               ("InstallFiles", "UndoInstallService"),
                               ("UndoInstallService", "InstallService"),
                               ("InstallService", "StartServices")):
            self.assertLess(order[earlier], order[later], (earlier, later))


@unittest.skipUnless(MSI and harness.WRAPPER, "needs the Windows build and Wine")
class Msiexec(unittest.TestCase):
    def setUp(self):
        self.prefix = harness.new_wine_prefix("clockgap-msi-")
        self.addCleanup(shutil.rmtree, self.prefix, True)
        self.server = harness.start_wine_server(self.prefix)
        self.addCleanup(harness.stop_wine_server, self.server)
        self.drive = os.path.join(self.prefix, "drive_c")
        self.folder = os.path.join(self.drive, "Program Files", "clockgap")
        shutil.copy(MSI, os.path.join(self.drive, "clockgap.msi"))

    def msiexec(self, verb, *properties, package="clockgap.msi"):
        """msiexec with a verbose log; its status, how long it took and the log."""
        log = os.path.join(self.drive, "msi.log")
        started = time.monotonic()
        result = harness.wine_run(self.prefix, "msiexec", verb, "C:\\" + package, "/qn",
                                  "/l*v", "C:\\msi.log", *properties)
        took = time.monotonic() - started
        with open(log, "rb") as f:
            text = f.read().decode(errors="replace")
        os.remove(log)
        return result.returncode, took, text

    def install(self, *properties, package="clockgap.msi"):
        status, took, log = self.msiexec("/i", *properties, package=package)
        self.assertEqual(status, 0, log)
        return took, log

    def reg(self, *args):
        return harness.wine_run(self.prefix, "reg", "query", *args)

    def command(self):
        return self.reg(SERVICE_KEY, "/v", "ImagePath").stdout

    def registered_products(self):
        return re.findall(r"DisplayName\s+REG_SZ\s+clockgap\n.*?DisplayVersion\s+REG_SZ\s+(\S+)",
                          self.reg(UNINSTALL_KEY, "/s").stdout, re.S)

    def day_text(self):
        return harness.day_text(os.path.join(self.drive, "clockgap-test"))

    def wait_rows(self, runs_before):
        """Rows of a run that started after `runs_before` runs; how long they took."""
        started = time.monotonic()
        self.assertTrue(harness.wait_for(
            lambda: harness.new_run_has_rows(self.day_text(), runs_before) or None, 30))
        return time.monotonic() - started

    def test_install_kill_upgrade_repair_remove(self):
        metrics = os.path.join(self.drive, "metrics", "clockgap.prom")
        port = free_port()
        took_install, log = self.install("PERIOD=2", f"LOGDIR={LOG_DIR}", "KEEP=5", "GZIP=0",
                                         "PROMETHEUS=C:\\metrics\\clockgap.prom",
                                         f"LISTEN=127.0.0.1:{port}", "FIREWALL=1")
        self.assertIn("LocalService may now make, write and remove files in it", log)
        self.assertIn(f'added the firewall rule "clockgap metrics": TCP port {port} in', log)
        settings = '--period 2 --log-dir "C:\\clockgap-test" --keep 5 --no-gzip ' \
                   f'--prometheus "C:\\metrics\\clockgap.prom" --listen "127.0.0.1:{port}" ' \
                   '--firewall'
        self.assertIn(settings, self.command())
        first_rows = self.wait_rows(0)
        self.assertTrue(harness.wait_for(lambda: os.path.exists(metrics) or None))
        # The service's watch serves the file's series over HTTP, on the port asked for.
        scraped = harness.wait_for(
            lambda: http_get(f"http://127.0.0.1:{port}/metrics") or None, 30)
        self.assertIsNotNone(scraped, "the service serves no metrics")
        with open(metrics) as f:
            in_file = set(re.findall(r"^(clockgap_\w+)", f.read(), re.M))
        self.assertEqual(set(re.findall(r"^(clockgap_\w+)", scraped, re.M)), in_file)
        self.assertEqual(sorted(os.listdir(self.folder)),
                         sorted(["INSTALL.txt", "clockgap-rules.test.yml", "clockgap-rules.yml",
                                 *PROGRAMS]))
        [service] = harness.wine_pids(self.prefix, "clockgap-service.exe")

        # The monitor dies: the service starts it again.
        runs = self.day_text().count("Starting at")
        os.kill(harness.wine_pids(self.prefix, "clockgap.exe")[0], 9)
        rows_again = self.wait_rows(runs)
        self.assertEqual(harness.wine_pids(self.prefix, "clockgap-service.exe"), [service])

        # A package of a higher version, built here, over the first: its programs, the
        # same settings, one product, and the day file goes on.
        stage = tempfile.mkdtemp(prefix="clockgap-stage-")
        self.addCleanup(shutil.rmtree, stage, True)
        shutil.copytree(STAGE, stage, dirs_exist_ok=True)
        with open(os.path.join(stage, "INSTALL.txt"), "a") as f:
            f.write("the upgrade's\n")
        subprocess.run([MAKE_MSI, stage, "99.0.1", os.path.join(self.drive, "newer.msi")],
                       check=True, capture_output=True)
        # With a wrong setting it changes nothing: the older stays as it was.
        status, _, log = self.msiexec("/i", "KEEP=-1", package="newer.msi")
        self.assertNotEqual(status, 0)
        self.assertIn("KEEP=-1 is wrong", log)
        self.assertEqual(self.registered_products(), [VERSION])
        self.assertIn(settings, self.command())
        before = self.day_text()
        runs = before.count("Starting at")
        took_upgrade, log = self.install(package="newer.msi")
        self.assertIn("the service's present settings: " + settings, log)
        self.assertIn(settings, self.command())
        self.assertEqual(self.registered_products(), ["99.0.1"])
        with open(os.path.join(self.folder, "INSTALL.txt")) as f:
            self.assertTrue(f.read().endswith("the upgrade's\n"))
        upgrade_rows = self.wait_rows(runs)
        self.assertTrue(self.day_text().startswith(before))

        # The same package again is no error; as a repair it puts back a lost program,
        # with the same settings and the service running.
        self.install(package="newer.msi")
        os.remove(os.path.join(self.folder, "clockgap-report.exe"))
        took_repair, _ = self.install("REINSTALL=ALL", "REINSTALLMODE=amus", package="newer.msi")
        self.assertTrue(os.path.exists(os.path.join(self.folder, "clockgap-report.exe")))
        self.assertIn(settings, self.command())
        self.assertEqual(self.registered_products(), ["99.0.1"])
        self.assertTrue(harness.wait_for(
            lambda: harness.wine_pids(self.prefix, "clockgap.exe") or None))

        # An older package does not install over a newer one, and changes nothing.
        status, _, log = self.msiexec("/i")
        self.assertNotEqual(status, 0)
        self.assertRegex(log, r"NEWER_CLOCKGAP = \{")
        self.assertEqual(self.registered_products(), ["99.0.1"])
        with open(os.path.join(self.folder, "INSTALL.txt")) as f:
            self.assertTrue(f.read().endswith("the upgrade's\n"))

        # Removal: no service, no program running or left, the day files kept.
        status, took_remove, log = self.msiexec("/x", package="newer.msi")
        self.assertEqual(status, 0, log)
        self.assertIn(f"the day files and the service's messages stay in {LOG_DIR}", log)
        self.assertNotEqual(self.reg(SERVICE_KEY).returncode, 0)
        self.assertNotEqual(self.reg(SERVICE_KEY.replace(
            "Services\\clockgap", "Services\\EventLog\\Application\\clockgap")).returncode, 0)
        self.assertEqual(self.registered_products(), [])
        for program in PROGRAMS:
            self.assertEqual(harness.wine_pids(self.prefix, program), [], program)
        left = os.listdir(self.folder) if os.path.exists(self.folder) else []
        self.assertEqual(left, [])
        text = self.day_text()
        self.assertTrue(text.startswith(before))
        self.assertTrue(text.endswith("\n"))
        kept = sorted(os.listdir(os.path.join(self.drive, "clockgap-test")))
        print(f"\ninstall {took_install:.1f} s, first rows after {first_rows:.1f} s; "
              f"monitor killed to rows again {rows_again:.1f} s; upgrade {took_upgrade:.1f} s, "
              f"rows after {upgrade_rows:.1f} s; repair {took_repair:.1f} s; removal "
              f"{took_remove:.1f} s, leaving {kept} and in Program Files/clockgap {left}; "
              f"package {os.path.getsize(MSI)} bytes", file=sys.stderr)

    def test_wrong_settings_change_nothing(self):
        for prop, said in (("PERIOD=abc", "PERIOD=abc is wrong: --period needs a whole number"),
                           ("KEEP=0", "KEEP=0 is wrong: --keep needs a whole number"),
                           ("GZIP=yes", "GZIP=yes is wrong: 1 compresses"),
                           ("FIREWALL=1", "--firewall goes with --listen"),
                           ("LOGDIR=relog", "LOGDIR=relog is wrong: a whole path"),
                           # Found only when the service is installed: undone.
                           ("LOGDIR=Q:\\nowhere", "cannot create the folder Q:\\nowhere")):
            with self.subTest(prop=prop):
                status, _, log = self.msiexec("/i", prop)
                self.assertNotEqual(status, 0)
                self.assertIn(said, log)
                self.assertNotEqual(self.reg(SERVICE_KEY).returncode, 0)
                self.assertEqual(self.registered_products(), [])
                self.assertFalse(os.path.exists(self.folder) and os.listdir(self.folder))
                self.assertEqual(harness.wine_pids(self.prefix, "clockgap-service.exe"), [])


if __name__ == "__main__":
    unittest.main()
