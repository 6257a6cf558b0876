"""Runs the real clockgap binary and reads what it writes, line by line, with deadlines."""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

BINARY = os.environ.get("CLOCKGAP", "build/clockgap")
# Programs run under a wrapper (wine for the Windows build) get it here, as a JSON array
# of its words (a word may hold a space).
WRAPPER = json.loads(os.environ.get("CLOCKGAP_WRAPPER") or "[]")
# Whether that wrapper is Wine (the Windows programs), not qemu (Linux on another
# processor).
ON_WINDOWS = bool(WRAPPER) and "wine" in os.path.basename(WRAPPER[-1])
# The line end the program writes: CR LF for the Windows program.
LINE_END = b"\r\n" if os.environ.get("CLOCKGAP_LINE_END") == "CRLF" else b"\n"

HEADER = ("timestamp,ts_ms,diff_report,diff_avg,min_diff_this_rep,min_diff_ever,"
          "max_diff_this_rep,max_diff_ever,neg, 1ms,2ms,5ms, 10ms,20ms,50ms, 100ms,200ms,"
          "500ms, 1s,2s,5s, out_to_lunch,printf_latency")

ROW = re.compile(
    r"^(\d{4,5})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d),(\d{3}),"
    r"(-?\d+),(-?\d+),(-?\d+),(-?\d+),(-?\d+),(-?\d+),"
    r"(\d+), (\d+),(\d+),(\d+), (\d+),(\d+),(\d+), (\d+),(\d+),(\d+), (\d+),(\d+),(\d+), "
    r"(\d+),(-?\d+)$")

START = re.compile(r"^Starting at (\d\d):(\d\d):(\d\d)\.(\d{3})$")


class Row:
    """One parsed row: the column names of the header, as attributes."""

    def __init__(self, line):
        m = ROW.match(line)
        if not m:
            raise AssertionError(f"not a row: {line!r}")
        g = [int(x) for x in m.groups()]
        self.line = line
        self.year, self.month, self.day, self.hour, self.minute, self.second = g[0:6]
        self.ts_ms = g[6]
        (self.diff_report, self.diff_avg, self.min_diff_this_rep, self.min_diff_ever,
         self.max_diff_this_rep, self.max_diff_ever) = g[7:13]
        self.counts = g[13:27]
        self.neg = self.counts[0]
        self.out_to_lunch = self.counts[13]
        self.printf_latency = g[27]


class Run:
    """A running clockgap whose standard output is read through a pipe."""

    def __init__(self, *args, env=None, stdout=subprocess.PIPE, command=None):
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        self.started = time.time()
        # A group of its own, so that stopping it also stops what a wrapper started.
        command = command or WRAPPER + [BINARY]
        self.proc = subprocess.Popen(command + list(args), stdout=stdout,
                                     stderr=subprocess.PIPE, env=full_env,
                                     start_new_session=True)
        self._pending = b""

    def read_line(self, timeout=5.0):
        """The next whole line, with its line end, as bytes; None when the deadline passes."""
        deadline = time.time() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.time()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line + b"\n"

    def read_lines_until(self, count, timeout):
        """Up to `count` lines, each with the time it arrived."""
        lines = []
        deadline = time.time() + timeout
        while len(lines) < count:
            line = self.read_line(max(0.0, deadline - time.time()))
            if line is None:
                break
            lines.append((time.time(), line))
        return lines

    def stop(self, sig=signal.SIGKILL):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        self.proc.wait(timeout=10)
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def text_line(raw, line_end=None):
    """The text of a raw line after checking its line end."""
    assert raw is not None, "no line arrived in time"
    line_end = line_end or LINE_END
    assert raw.endswith(line_end), f"line end of {raw!r}"
    body = raw[: -len(line_end)]
    assert b"\r" not in body and b"\n" not in body, raw
    return body.decode()


def small_tmpfs(test, size="64k"):
    """A folder on a fresh tmpfs of `size` (64 KiB), a real disk that fills (the tests run as root),
    unmounted when `test` ends; the test is skipped where mounting is not allowed."""
    import shutil
    import tempfile
    folder = tempfile.mkdtemp()
    test.addCleanup(shutil.rmtree, folder, True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                             capture_output=True)
    if mounted.returncode != 0:
        test.skipTest(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    test.addCleanup(subprocess.run, ["umount", "-l", folder])
    return folder


def fill(folder):
    """Takes every free byte of the file system of `folder` into a file of its own, and
    returns its path: remove it to free them."""
    filler = os.path.join(folder, "filler")
    with open(filler, "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"x" * 512)
        except OSError:
            pass
    return filler


def png_pixels(path):
    """The pixels of an 8-bit RGB or RGBA PNG that is not interlaced (as chromium writes
    its screenshots): (width, height, bytes per pixel, the rows as bytearrays)."""
    import struct
    import zlib
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat = 8, bytearray()
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(bytes(idat))
    stride = width * bpp
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, previous))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + previous[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b, c = previous[i], previous[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(line)
        previous = line
    return width, height, bpp, rows


def colour_counts(path):
    """How many pixels of a PNG have each colour, as '#rrggbb'."""
    width, _, bpp, rows = png_pixels(path)
    counts = {}
    for line in rows:
        for x in range(0, width * bpp, bpp):
            key = line[x:x + 3].hex()
            counts[key] = counts.get(key, 0) + 1
    return {"#" + k: v for k, v in counts.items()}


def wait_for(what, deadline_s=30.0):
    """What `what` returns once it is not None (an OSError counts as None), or None
    when `deadline_s` passes first."""
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


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, timeout=2.0):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


# Prefixes whose programs all run with more in their environment (a faked clock).
WINE_EXTRA = {}


def wine_env(prefix=None):
    """The environment the Wine wrapper sets (WINEPREFIX and the rest), with another
    prefix when one is given, and what that prefix's programs all take (WINE_EXTRA)."""
    env = dict(os.environ)
    for word in WRAPPER:
        if "=" in word and not word.startswith("/"):
            key, value = word.split("=", 1)
            env[key] = value
    if prefix:
        env["WINEPREFIX"] = prefix
        env.update(WINE_EXTRA.get(prefix, {}))
    return env


# Wine's own programs and libraries in a prefix, which no test changes: a new prefix links
# them to those of the template instead of copying 600 MB.
WINE_SHARED_FILES = re.compile(r"\.(dll|exe|sys|drv|ocx|cpl|acm|ax|tlb|com|ds|msstyles)$", re.I)


def new_wine_prefix(name):
    """A new Wine prefix for one test, removed after it: a copy of the template prefix
    (CLOCKGAP_WINE_TEMPLATE, made by wine_server.py) where there is one, its programs
    linked; otherwise an empty folder, which Wine fills when it first starts there."""
    prefix = tempfile.mkdtemp(prefix=name)
    template = os.environ.get("CLOCKGAP_WINE_TEMPLATE")
    if not template or not os.path.isfile(os.path.join(template, "system.reg")):
        return prefix
    for folder, dirs, files in os.walk(template):
        into = os.path.join(prefix, os.path.relpath(folder, template))
        for name in dirs + files:
            source, target = os.path.join(folder, name), os.path.join(into, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), target)
            elif os.path.isdir(source):
                os.mkdir(target)
            elif WINE_SHARED_FILES.search(name):
                os.link(source, target)
            elif folder != template or name != "wineserver":
                shutil.copy2(source, target)
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(folder, d))]
    return prefix


def start_wine_server(prefix=None):
    """Under Wine: a Wine server for the test prefix, running until stop_wine_server, and
    Wine's own programs of the prefix started with it. Without it each program starts a
    server of its own, and the programs that server starts hold the first program's
    output pipes open for seconds after it ends. Returns None elsewhere, and for the
    shared prefix when CTest keeps one server for all its tests (wine_server.py)."""
    if not ON_WINDOWS or (prefix is None and os.environ.get("CLOCKGAP_SHARED_WINE_SERVER")):
        return None
    server_path = os.path.join(os.path.dirname(WRAPPER[-1]), "wineserver")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # A server that a program before started may still linger: it goes first.
    subprocess.run([server_path, "--wait"], env=wine_env(prefix), timeout=60, **quiet)
    server = subprocess.Popen([server_path, "--foreground", "--persistent"],
                              env=wine_env(prefix), **quiet)
    # The first program starts Wine's own (services, devices) with no pipe of a test's.
    subprocess.run([WRAPPER[-1], "cmd", "/c", "exit"], env=wine_env(prefix), timeout=120,
                   **quiet)
    server.prefix = prefix
    return server


def wine_run(prefix, *args, cwd=None):
    """A Windows program of the prefix, run to its end; its output as text with LF."""
    result = subprocess.run([WRAPPER[-1], *args], env=wine_env(prefix),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120, cwd=cwd)
    result.stdout = result.stdout.replace(b"\r\n", b"\n").decode(errors="replace")
    result.stderr = result.stderr.replace(b"\r\n", b"\n").decode(errors="replace")
    return result


def wine_pids(prefix, name):
    """The processes of the prefix whose Windows program is `name`."""
    pids = []
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{p}/cmdline", "rb") as f:
                command = f.read().split(b"\0")[0].decode(errors="replace")
            with open(f"/proc/{p}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if (re.search(r"[\\/]" + re.escape(name) + r"$", command, re.I) and
                f"WINEPREFIX={prefix}".encode() in environ):
            pids.append(int(p))
    return pids


def day_text(folder):
    """The text of the folder's day file (clockgap-YYYY-MM-DD.log); empty until the watch
    has made it."""
    names = [n for n in os.listdir(folder) if re.match(r"clockgap-\d{4}-\d\d-\d\d\.log$", n)]
    if not names:
        return ""
    with open(os.path.join(folder, names[0]), "rb") as f:
        return f.read().decode()


def new_run_has_rows(text, runs_before):
    """Whether a day file's `text` holds a run begun after its first `runs_before` runs,
    with a whole row written."""
    return (text.count("Starting at") > runs_before and
            re.search(r"\n\d{4}-[^\n]*\n$", text.split("Starting at")[-1]) is not None)


def stop_wine_server(server):
    """Ends every program of the prefix and the server, and waits for it."""
    if server is None:
        return
    server_path = os.path.join(os.path.dirname(WRAPPER[-1]), "wineserver")
    subprocess.run([server_path, "--kill"], env=wine_env(server.prefix), timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        server.wait(timeout=30)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()
