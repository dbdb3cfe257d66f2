#!/usr/bin/env python3
"""Start-up smoke test of the kettlebright application.

Starts Xvfb on a free display with trayer as the system tray, then the
application on loopback-only test ports (KB_XMLRPC_PORT, KB_DISCOVERY_PORT,
KB_DISCOVERY_ANSWER_PORT), checks that XML-RPC and the discovery responder
answer, that colour bars sent with SetGen reach the simulated card's monitor
picture (KB_AJASTUB_MONITOR), and stops it with SIGTERM, which must shut it
down in order with status 0 and give the card's stream back. With its XML-RPC
port held by someone else it must announce nothing. A run without a tray must
end with status 1 and touch no card; one without an X display must end with
status 1 and one line on standard error.

    KB_KETTLEBRIGHT=build/default/bin/kettlebright python3 tests/app/startup_smoke.py
"""
import ctypes
import ctypes.util
import glob
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xmlrpc.client
import zlib

APP = os.environ.get("KB_KETTLEBRIGHT", "")
HERE = os.path.dirname(os.path.abspath(__file__))
# Sanitizer builds start slowly.
START_TIMEOUT = 60.0


def fail(message, log=None):
    print("FAIL:", message)
    if log:
        print("---- application output ----")
        print(log)
    sys.exit(1)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def display_ready(display):
    """True once the X server accepts connections (its socket appears earlier)."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        return False
    x11.XCloseDisplay(dpy)
    return True


def tray_ready(display):
    """True once a system tray owns the _NET_SYSTEM_TRAY_S0 selection."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetSelectionOwner.restype = ctypes.c_ulong
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        return False
    try:
        atom = x11.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)
        return x11.XGetSelectionOwner(dpy, atom) != 0
    finally:
        x11.XCloseDisplay(dpy)


def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB PNG, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    pos, idat, header = 8, b"", None
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    if not header or header[2:5] != (8, 2, 0) or header[6] != 0:
        return None
    width, height = header[0], header[1]
    raw, stride, rows, prev = zlib.decompress(idat), width * 3, [], bytearray(width * 3)
    for y in range(height):
        kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride if kind else 0):
            a = row[i - 3] if i >= 3 else 0
            b, c = prev[i], prev[i - 3] if i >= 3 else 0
            if kind == 1:
                row[i] = (row[i] + a) & 255
            elif kind == 2:
                row[i] = (row[i] + b) & 255
            elif kind == 3:
                row[i] = (row[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(row)
        prev = row
    return width, height, rows


def bars_in_picture(path, level):
    """True when the picture shows full-field colour bars at `level` (8-bit
    video code of the lit components, black 16), each bar within one code."""
    png = read_png(path)
    if not png:
        return False
    width, height, rows = png
    lit = ((1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1))
    row = rows[height // 2]
    for i, on in enumerate(lit):
        x = width * (2 * i + 1) // 14
        want = [level if o else 16 for o in on]
        if any(abs(row[3 * x + c] - want[c]) > 1 for c in range(3)):
            return False
    return True


def stream_owners(folder):
    """Process ids named by the simulated AJA card's stream-owner records in `folder`."""
    owners = []
    for path in glob.glob(os.path.join(folder, "kb-ajastub-*.stream")):
        with open(path) as f:
            fields = f.read().split()
        if len(fields) == 2:
            owners.append(int(fields[1]))
    return owners


def wait_for_bars(proc, path, level):
    deadline = time.time() + START_TIMEOUT
    while not bars_in_picture(path, level):
        if proc.poll() is not None or time.time() > deadline:
            proc.kill()
            fail("the monitor picture %s never showed the bars at level %d" % (path, level),
                 finish(proc)[1])
        time.sleep(0.2)


class Desktop:
    """Xvfb on a free display, optionally with trayer."""

    def __init__(self, with_tray):
        self.procs = []
        # Xvfb picks the free display itself and names it on a pipe, so
        # desktops started at the same moment never share one.
        read_end, write_end = os.pipe()
        self.procs.append(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
             "-screen", "0", "1024x768x24"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,)))
        os.close(write_end)
        with os.fdopen(read_end) as names:
            number = names.readline().strip()
        if not number:
            self.close()
            fail("Xvfb did not name its display")
        self.display = ":" + number
        self._wait(lambda: display_ready(self.display), "Xvfb")
        if with_tray:
            env = dict(os.environ, DISPLAY=self.display)
            trayer = [None]

            def tray_up():
                # A tray host that lost its race with the X server is started again.
                if trayer[0] is None or trayer[0].poll() is not None:
                    trayer[0] = subprocess.Popen(["trayer"], env=env, stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL)
                    self.procs.append(trayer[0])
                return tray_ready(self.display)
            self._wait(tray_up, "trayer")

    def _wait(self, ready, what):
        # Generous: the sanitizer builds start slowly while other tests run.
        deadline = time.time() + 60
        while not ready():
            if time.time() > deadline:
                self.close()
                fail("%s did not come up" % what)
            time.sleep(0.05)

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.procs = []


def desktop_env(display, **extra):
    """The environment of a program on `display` (None: no display at all)."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(name, None)
    if display:
        env["DISPLAY"] = display
    env.update(extra)
    # Sanitizer builds: the desktop libraries under Qt keep some memory for
    # good and synchronise among their own threads out of the sanitizers' view.
    for name, supp in (("LSAN_OPTIONS", "lsan-desktop.supp"), ("TSAN_OPTIONS", "tsan-desktop.supp")):
        option = "suppressions=" + os.path.join(HERE, supp)
        env[name] = env[name] + ":" + option if env.get(name) else option
    return env


def start_app(display, ports, home, extra_env=None, without_home=False):
    # KB_AJASTUB_LOCK_DIR: a simulated AJA card of its own, whose stream no
    # other test's generator holds.
    env = desktop_env(display, HOME=home, KB_AJASTUB_LOCK_DIR=home,
                      KB_XMLRPC_PORT=str(ports["xmlrpc"]),
                      KB_DISCOVERY_PORT=str(ports["discovery"]),
                      KB_DISCOVERY_ANSWER_PORT=str(ports["answer"]))
    env.update(extra_env or {})
    if without_home:
        del env["HOME"]
    return subprocess.Popen([APP], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def finish(proc, timeout=30):
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        return None, out.decode(errors="replace")
    return proc.returncode, out.decode(errors="replace")


def read_until(proc, text, timeout):
    """The application's output as it comes, up to `text`; None when it did not come."""
    fd = proc.stdout.fileno()
    got = b""
    deadline = time.time() + timeout
    while text.encode() not in got:
        left = deadline - time.time()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 65536)
        if not chunk:
            return None
        got += chunk
    return got.decode(errors="replace")


def busy_port_run(home):
    """A port held by someone else is announced neither by Bonjour nor by discovery."""
    ports = {"xmlrpc": free_port(socket.SOCK_STREAM), "discovery": free_port(socket.SOCK_DGRAM),
             "answer": free_port(socket.SOCK_DGRAM)}
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", ports["xmlrpc"]))
    holder.listen(1)
    answers = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    answers.bind(("127.0.0.1", ports["answer"]))
    answers.settimeout(1)
    desktop = Desktop(with_tray=True)
    proc = start_app(desktop.display, ports, home)
    try:
        # Trace lines arrive as they are written, though the output is a pipe.
        why = "Error: main: XML-RPC port %d cannot be used (" % ports["xmlrpc"]
        early = read_until(proc, why, START_TIMEOUT)
        if early is None:
            proc.kill()
            fail("no error line for the busy port", finish(proc)[1])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ask:
            ask.sendto(b"BcServiceRequest" + bytes(48), ("127.0.0.1", ports["discovery"]))
        try:
            answers.recvfrom(256)
            proc.kill()
            fail("discovery announced a port that is not ours", early + finish(proc)[1])
        except socket.timeout:
            pass
        proc.send_signal(signal.SIGTERM)
        status, log = finish(proc)
        log = early + log
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        answers.close()
        holder.close()
        desktop.close()
    if status != 0:
        fail("exit status %r with the port busy" % status, log)
    if "Bonjour: " in log or "DNSServiceRegister" in log:
        fail("Bonjour registration tried for a port that is not ours", log)


def serving_run(home):
    ports = {"xmlrpc": free_port(socket.SOCK_STREAM), "discovery": free_port(socket.SOCK_DGRAM),
             "answer": free_port(socket.SOCK_DGRAM)}
    desktop = Desktop(with_tray=True)
    answers = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    answers.bind(("127.0.0.1", ports["answer"]))
    answers.settimeout(5)
    monitor = os.path.join(home, "monitor.png")
    proc = start_app(desktop.display, ports, home, {"KB_AJASTUB_MONITOR": monitor})
    try:
        server = xmlrpc.client.ServerProxy("http://127.0.0.1:%d" % ports["xmlrpc"])
        deadline = time.time() + START_TIMEOUT
        version = None
        while version is None:
            if proc.poll() is not None:
                fail("the application ended during start-up", finish(proc)[1])
            try:
                version = server.GetDreskoVersion()
            except (ConnectionError, OSError):
                if time.time() > deadline:
                    proc.kill()
                    fail("XML-RPC did not answer", finish(proc)[1])
                time.sleep(0.1)
        if proc.pid not in stream_owners(home):
            proc.kill()
            fail("the card's stream is not recorded as the generator's", finish(proc)[1])
        if not (isinstance(version, list) and len(version) == 1 and
                version[0].get("Serial") == socket.gethostname()):
            fail("unexpected version reply %r" % (version,))
        if not isinstance(server.SetGen("Colorbars"), int):
            fail("SetGen did not return a command id")
        # The data folder beside the application holds the test card.
        if not isinstance(server.SetGen("Lumevra-Test-Card"), int):
            fail("SetGen of the test card did not return a command id")

        # What the card shows, as the monitor picture: bars at 100 %, then 75 %
        # (video levels: 235, and 16 + 0.75 * 219 = 180).
        for brightness, level in (("100", 235), ("75", 180)):
            server.SetGen({"Pattern": "Colorbars", "Style": "fullfield",
                           "Brightness": brightness})
            wait_for_bars(proc, monitor, level)

        # Any datagram is a request; the answer goes to the answer port.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ask:
            ask.sendto(b"BcServiceRequest" + bytes(48), ("127.0.0.1", ports["discovery"]))
            record, sender = answers.recvfrom(256)
        if len(record) != 28:
            fail("discovery record of %d bytes" % len(record))
        service_id, port = struct.unpack("<HH", record[24:28])
        if (service_id, port) != (5113, ports["xmlrpc"]):
            fail("discovery record announces id %d port %d" % (service_id, port))

        # A client that resets its connection while a long reply is still
        # being written must not take the server down (SIGPIPE).
        calls = [{"methodName": "GetGenOptions", "params": []}] * 800
        request = xmlrpc.client.dumps((calls,), "system.multicall").encode()
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        c.connect(("127.0.0.1", ports["xmlrpc"]))
        c.sendall(b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(request) + request)
        c.recv(512)  # the reply has begun
        c.shutdown(socket.SHUT_WR)  # the server sees our end closing...
        time.sleep(0.3)
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        c.close()  # ...and then the reset, so its next write fails with EPIPE
        time.sleep(0.3)
        if proc.poll() is not None or not isinstance(server.SetGen("Colorbars"), int):
            fail("the server stopped answering after a reset connection", finish(proc)[1])

        proc.send_signal(signal.SIGTERM)
        status, log = finish(proc)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        answers.close()
        desktop.close()

    if status != 0:
        fail("exit status %r after SIGTERM" % status, log)
    # The next start must not depend on this process id staying unused.
    if proc.pid in stream_owners(home):
        fail("the card's stream still names the generator after it ended", log)
    expected = ["using KonaRaster()", "XmlRpc: listening on port %d" % ports["xmlrpc"],
                "Cyanide-"]
    positions = [log.find(line) for line in expected]
    if -1 in positions or positions != sorted(positions):
        fail("start-up and shut-down lines missing or out of order: %r" % expected, log)
    if "pattern rendered Colorbars" not in log:
        fail("the first pattern was not rendered", log)
    if "pattern rendered Lumevra-Test-Card" not in log:
        fail("the test card was not shown", log)
    if "HOME is not set" in log:
        fail("a home folder was reported missing", log)


def fallback_runs(home):
    """Without an AJA card the DeckLink card is used; without either, status 1."""
    ports = {"xmlrpc": free_port(socket.SOCK_STREAM), "discovery": free_port(socket.SOCK_DGRAM),
             "answer": free_port(socket.SOCK_DGRAM)}
    desktop = Desktop(with_tray=True)
    try:
        # Also without a home folder: the user patterns are not looked for at
        # the root of the file system.
        proc = start_app(desktop.display, ports, home, {"KB_AJASTUB_NO_CARD": "1"},
                         without_home=True)
        server = xmlrpc.client.ServerProxy("http://127.0.0.1:%d" % ports["xmlrpc"])
        deadline = time.time() + START_TIMEOUT
        while proc.poll() is None:
            try:
                server.RescanFormats()
                break
            except (ConnectionError, OSError):
                if time.time() > deadline:
                    break
                time.sleep(0.1)
        proc.send_signal(signal.SIGTERM)
        status, log = finish(proc)
        if status != 0 or "using BmdRaster()" not in log or "using KonaRaster()" in log:
            fail("DeckLink fallback: status %r" % status, log)
        if "Warning: main: HOME is not set; user patterns are not scanned" not in log:
            fail("no Warning about the missing home folder", log)

        proc = start_app(desktop.display, ports, home,
                         {"KB_AJASTUB_NO_CARD": "1", "KB_DECKLINK_STUB": "nocard"})
        # The box waits for the user; SIGTERM closes it like a click.
        time.sleep(3)
        proc.send_signal(signal.SIGTERM)
        status, log = finish(proc)
        if status != 1 or "Coudn't find a valid Video Card" not in log:
            fail("no card: status %r" % status, log)
    finally:
        desktop.close()


def no_tray_run(home):
    ports = {"xmlrpc": free_port(socket.SOCK_STREAM), "discovery": free_port(socket.SOCK_DGRAM),
             "answer": free_port(socket.SOCK_DGRAM)}
    desktop = Desktop(with_tray=False)
    try:
        proc = start_app(desktop.display, ports, home)
        # The critical box waits for the user; SIGTERM closes it like Ok.
        time.sleep(3)
        proc.send_signal(signal.SIGTERM)
        status, log = finish(proc)
    finally:
        desktop.close()
    if status != 1:
        fail("exit status %r without a system tray" % status, log)
    if "using" in log:
        fail("a card was opened without a system tray", log)


def no_display_runs():
    """Without a usable X display: status 1 and one line on standard error."""
    unused = next(":%d" % n for n in range(400, 500)
                  if not os.path.exists("/tmp/.X%d-lock" % n) and
                  not os.path.exists("/tmp/.X11-unix/X%d" % n))
    # A Wayland display left in the environment that nobody serves does not
    # make up for the missing X display.
    for display, extra in ((None, {}), (unused, {}),
                           (None, {"WAYLAND_DISPLAY": "kb-no-such-wayland-display"})):
        run = subprocess.run([APP], env=desktop_env(display, **extra), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=START_TIMEOUT)
        lines = run.stderr.decode(errors="replace").splitlines()
        if run.returncode != 1 or len(lines) != 1 or \
                "scripts/run.sh" not in lines[0] or "DISPLAY" not in lines[0]:
            fail("display %r %r: status %r, standard error %r" %
                 (display, extra, run.returncode, lines))


def main():
    if not APP or not os.access(APP, os.X_OK):
        fail("set KB_KETTLEBRIGHT to the application binary")
    for tool in ("Xvfb", "trayer"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return 0
    home = tempfile.mkdtemp(prefix="kb-home-")
    try:
        serving_run(home)
        busy_port_run(home)
        fallback_runs(home)
        no_tray_run(home)
        no_display_runs()
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
