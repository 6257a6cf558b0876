"""The Linux packages beyond Debian's: the programs need no glibc above 2.17 (they are
static), the RPM built, linted, installed into a root of its own and removed, and the
container image built twice with one digest, its configuration, and a run of it."""

import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

BUILD = os.environ.get("CLOCKGAP_BUILD", "build")
SOURCE = os.environ.get("CLOCKGAP_SOURCE", ".")
PROGRAMS = ("clockgap", "clockgap-report")
# The oldest glibc of a host the programs must run on: Red Hat 7's.
OLDEST_GLIBC = (2, 17)


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)


def version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(clockgap VERSION ([0-9.]+)", f.read()).group(1)


def machine():
    """The build's processor, as the packages name it: (rpm, oci)."""
    header = run("readelf", "-h", os.path.join(BUILD, "clockgap")).stdout
    return ("aarch64", "arm64") if "AArch64" in header else ("x86_64", "amd64")


def glibc_needed(path):
    """The highest GLIBC_ version `path` needs: None without an interpreter (static)."""
    header = run("readelf", "-l", "-W", path).stdout
    if "Requesting program interpreter" not in header:
        return None
    symbols = run("readelf", "--dyn-syms", "-W", path).stdout
    versions = {tuple(int(n) for n in v.split(".")) for v in re.findall(r"@GLIBC_([0-9.]+)", symbols)}
    return max(versions)


def assert_portable(test, root, package):
    """Every program of `package` (unpacked under `root`) runs from glibc 2.17 on; says
    what each needs."""
    for program in PROGRAMS:
        path = os.path.join(root, "usr", "bin", program)
        needed = glibc_needed(path)
        said = "static, no interpreter" if needed is None else "GLIBC_" + ".".join(map(str, needed))
        print(f"\n{package}: {program}: {said}", file=sys.stderr)
        test.assertTrue(needed is None or needed <= OLDEST_GLIBC, (package, program, needed))


class Portable(unittest.TestCase):
    """The build's programs, and the plain tarball made of them."""

    def test_the_programs_and_the_tarball_run_from_glibc_2_17_on(self):
        made = run("cmake", "--build", BUILD, "--target", "package_stage")
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        assert_portable(self, os.path.join(BUILD, "package-stage"), "build")
        with tempfile.TemporaryDirectory() as work:
            made = run("cpack", "-G", "TGZ", "-B", work, cwd=BUILD)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
            (tarball,) = glob.glob(os.path.join(work, f"clockgap-{version()}-linux-*.tar.gz"))
            self.assertTrue(tarball.endswith(f"-linux-{machine()[1]}.tar.gz"), tarball)
            unpacked = os.path.join(work, "unpacked")
            os.mkdir(unpacked)
            self.assertEqual(run("tar", "-xzf", tarball, "-C", unpacked).returncode, 0)
            (top,) = os.listdir(unpacked)
            assert_portable(self, os.path.join(unpacked, top), os.path.basename(tarball))
            # Unpacked into / it is installed: its unit names the programs where they land.
            with open(os.path.join(unpacked, top, "usr/lib/systemd/system/clockgap.service")) as f:
                self.assertIn('exec "/usr/bin/clockgap" 1 | exec "/usr/bin/clockgap-report"',
                              f.read())


@unittest.skipUnless(shutil.which("rpmbuild") and shutil.which("rpmlint") and shutil.which("busybox"),
                     "needs rpm, rpmlint, busybox-static")
class Rpm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        made = run("cmake", "--build", BUILD, "--target", "rpm")
        assert made.returncode == 0, made.stdout + made.stderr
        cls.arch, _ = machine()
        cls.package = os.path.join(BUILD, f"clockgap-{version()}-1.{cls.arch}.rpm")

    def test_it_lints_clean_but_for_its_waivers(self):
        lint = run("rpmlint", "-r", os.path.join(SOURCE, "packaging", "rpm", "clockgap.rpmlintrc"),
                   self.package)
        print("\n" + lint.stdout, file=sys.stderr)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)
        self.assertRegex(lint.stdout, r"0 errors, 0 warnings")

    def test_installed_into_a_root_and_removed_keeping_the_day_files(self):
        files = run("rpm", "-qlp", self.package).stdout.split()
        self.assertEqual(sorted(files), [
            "/usr/bin/clockgap", "/usr/bin/clockgap-report",
            "/usr/lib/systemd/system/clockgap.service", "/usr/share/clockgap",
            "/usr/share/clockgap/clockgap-rules.test.yml",
            "/usr/share/clockgap/clockgap-rules.yml",
            "/usr/share/man/man1/clockgap-report.1.gz", "/usr/share/man/man1/clockgap.1.gz"])
        with tempfile.TemporaryDirectory() as root:
            # The package's scripts run in the root: a static shell there, with rm.
            os.makedirs(os.path.join(root, "bin"))
            shutil.copy(shutil.which("busybox"), os.path.join(root, "bin", "busybox"))
            for applet in ("sh", "rm"):
                os.symlink("busybox", os.path.join(root, "bin", applet))
            self.assertEqual(run("rpm", "--root", root, "--initdb").returncode, 0)
            installed = run("rpm", "--root", root, "--nodeps", "--ignorearch", "-i", self.package)
            self.assertEqual(installed.returncode, 0, installed.stderr)
            assert_portable(self, root, os.path.basename(self.package))
            with open(os.path.join(root, "usr/lib/systemd/system/clockgap.service")) as f:
                unit = f.read()
            self.assertIn('exec "/usr/bin/clockgap" 1 | exec "/usr/bin/clockgap-report"', unit)
            if shutil.which("systemd-analyze") and self.arch == os.uname().machine:
                verified = run("systemd-analyze", "verify", "--man=no",
                               os.path.join(root, "usr/lib/systemd/system/clockgap.service"))
                self.assertEqual((verified.returncode, verified.stderr), (0, ""))
            logs = os.path.join(root, "var/log/clockgap")
            os.makedirs(logs)
            with open(os.path.join(logs, "clockgap-2026-12-01.log"), "w") as f:
                f.write("kept\n")
            # What the service made: removal takes the metrics file (a stale one would be
            # scraped as if the monitor still ran) and keeps the day files.
            metrics = os.path.join(root, "var/lib/prometheus/node-exporter")
            os.makedirs(metrics)
            for name in ("clockgap.prom", "clockgap.prom.4242", "other.prom"):
                with open(os.path.join(metrics, name), "w") as f:
                    f.write("clockgap_rows_total 1\n")
            removed = run("rpm", "--root", root, "--nodeps", "-e", "clockgap")
            self.assertEqual(removed.returncode, 0, removed.stderr)
            self.assertNotIn("scriptlet", removed.stderr)
            self.assertFalse(os.path.exists(os.path.join(root, "usr/bin/clockgap")))
            self.assertEqual(os.listdir(logs), ["clockgap-2026-12-01.log"])
            self.assertEqual(os.listdir(metrics), ["other.prom"])


def program_of(pid):
    try:
        return os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return None


def manifest_digest(layout):
    with open(os.path.join(layout, "index.json")) as f:
        return json.load(f)["manifests"][0]["digest"]


def blob(layout, digest):
    with open(os.path.join(layout, "blobs", *digest.split(":")), "rb") as f:
        return json.load(f)


@unittest.skipUnless(shutil.which("umoci") and shutil.which("skopeo"), "needs umoci, skopeo")
class Image(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="clockgap-image-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        made = run("cmake", "--build", BUILD, "--target", "package_stage")
        assert made.returncode == 0, made.stdout + made.stderr
        _, cls.arch = machine()
        cls.layouts = []
        for build in ("first", "second"):
            out = os.path.join(cls.dir, build)
            os.makedirs(out)
            done = run(os.path.join(SOURCE, "packaging", "oci", "make-image"),
                       os.path.join(BUILD, "package-stage"), version(), cls.arch, out)
            assert done.returncode == 0, done.stdout + done.stderr
            cls.layouts.append(done.stdout.strip())
            time.sleep(1.1)  # another second: no time of the build's may go in

    def test_two_builds_give_one_digest(self):
        digests = [manifest_digest(layout) for layout in self.layouts]
        tars = [layout + ".tar" for layout in self.layouts]
        sizes = [os.path.getsize(t) for t in tars]
        print(f"\nmanifest {digests[0]}, archive {sizes[0]} bytes", file=sys.stderr)
        self.assertEqual(digests[0], digests[1])
        hashes = []
        for tar in tars:
            with open(tar, "rb") as f:
                hashes.append(hashlib.sha256(f.read()).hexdigest())
        self.assertEqual(hashes[0], hashes[1])

    def test_its_configuration(self):
        layout = self.layouts[0]
        manifest = blob(layout, manifest_digest(layout))
        config = blob(layout, manifest["config"]["digest"])
        self.assertEqual((config["architecture"], config["os"]), (self.arch, "linux"))
        c = config["config"]
        self.assertEqual(c["User"], "65532:65532")
        self.assertEqual(c["Entrypoint"], ["/usr/bin/clockgap-report"])
        self.assertEqual(c["Cmd"], ["--follow", "--monitor", "1", "--log",
                                    "/var/log/clockgap/clockgap-%Y-%m-%d.log", "--keep", "28",
                                    "--gzip", "--prometheus", "/var/lib/clockgap/clockgap.prom"])
        self.assertEqual(c["Labels"]["org.opencontainers.image.version"], version())

    @unittest.skipUnless(os.geteuid() == 0, "needs root: a root file system of its own")
    def test_a_run_of_it_writes_rows_day_files_and_metrics(self):
        if self.arch != {"x86_64": "amd64", "aarch64": "arm64"}.get(os.uname().machine):
            self.skipTest("the image is for another processor")
        bundle = os.path.join(self.dir, "bundle")
        unpacked = run("umoci", "unpack", "--image", f"{self.layouts[0]}:{version()}", bundle)
        self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
        with open(os.path.join(bundle, "config.json")) as f:
            process = json.load(f)["process"]
        rootfs = os.path.join(bundle, "rootfs")
        assert_portable(self, rootfs, os.path.basename(self.layouts[0]) + ".tar")
        uid, gid = process["user"]["uid"], process["user"]["gid"]
        self.assertEqual((uid, gid), (65532, 65532))
        # As the image's configuration says: its command, its user; with the host's /proc
        # (a mount namespace of its own, so that the mount goes when the run does).
        inner = ('root=$0 user=$1; shift; '
                 'mount --rbind /proc "$root/proc" && exec chroot --userspec="$user" "$root" "$@"')
        run_it = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", inner, rootfs,
             f"{uid}:{gid}", *process["args"]],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        logs = os.path.join(rootfs, "var/log/clockgap")
        metrics = os.path.join(rootfs, "var/lib/clockgap/clockgap.prom")
        try:
            got = harness.wait_for(
                lambda: (harness.new_run_has_rows(harness.day_text(logs), 0) and
                         os.path.exists(metrics)) or None, 30)
            self.assertTrue(got, (os.listdir(logs), run_it.poll()))
            # The monitor the watch started: the image's clockgap, the watch's child.
            monitors = [pid for pid in os.listdir("/proc") if pid.isdigit() and
                        program_of(pid) == os.path.join(rootfs, "usr/bin/clockgap")]
            self.assertEqual(len(monitors), 1, monitors)
            # Asked to end, the watch ends its monitor itself, with status 0.
            run_it.send_signal(signal.SIGTERM)
            _, err = run_it.communicate(timeout=30)
        finally:
            if run_it.poll() is None:
                os.killpg(run_it.pid, signal.SIGKILL)
                run_it.communicate()
        print(f"\n{err.decode()}", file=sys.stderr)
        self.assertEqual(run_it.returncode, 0, err)
        self.assertEqual([p for p in monitors if os.path.exists(f"/proc/{p}")], [])
        (day,) = [n for n in os.listdir(logs) if n.endswith(".log")]
        for path in (logs, metrics, os.path.join(logs, day)):
            self.assertEqual(os.stat(path).st_uid, uid, path)
        with open(metrics) as f:
            self.assertRegex(f.read(), r"\nclockgap_rows_total [1-9]")


if __name__ == "__main__":
    unittest.main()
