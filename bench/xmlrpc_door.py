#!/usr/bin/env python3
"""What the XML-RPC server's door does with large, held and unusual HTTP
requests: the memory a server process takes for requests being received, and
the answers it gives to framings at the edge of HTTP/1.1.

    python3 bench/xmlrpc_door.py <path to xmlrpc-test-server>

Best run in a network namespace of its own, so nothing but this run uses its
loopback:

    ip netns add kbbench; ip netns exec kbbench ip link set lo up
    ip netns exec kbbench python3 bench/xmlrpc_door.py build/default/bin/xmlrpc-test-server

Loopback only (127.0.0.1); each scenario runs a few seconds, the whole run
well under two minutes. Memory is the server's VmRSS and VmHWM from
/proc/<pid>/status, as growth over its resident size once started and warmed
up by one call (VmHWM is reset there through /proc/<pid>/clear_refs where
the kernel allows it); MB are 10^6 bytes. The test server cuts off a request
after 3 s, so the held-request scenarios run within that time. Scenarios:

 1. 12 clients hold an unfinished 4 MiB chunked body (a 4 MiB chunk, 4 MiB - 1
    of its data bytes sent); 40 rounds, each one of them (in turn) sends the
    next byte of its request; a client that is answered is left open and a
    new client takes its place with its own unfinished 4 MiB.
    1b. The same with all 4 MiB of the chunk's data sent (its CRLF not), so
    that the bodies fill the budget exactly and every byte more is refused.
    1c. With 11 unfinished 4 MiB bodies held (Content-Length, or chunked as
    in 1), whether a 12th whole 4 MiB request is served, chunked and with
    Content-Length.
 2. 13 clients send complete 4 MiB bodies at once, chunked against
    Content-Length, each on a fresh server, 3 runs each: peak growth.
 3. to 8. Framings answered at once: bare LF in chunk framing, HTTP/1.0 with
    chunked, request-line versions, Transfer-Encoding lists, GET, HTTP/1.0
    keep-alive.
 9. A chunked request with Expect: 100-continue, with less than 4 MiB left of
    the budget of requests being received, and with room.
"""

import os
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

HOST = "127.0.0.1"
MIB = 1024 * 1024
BODY_MAX = 4 * MIB  # the largest body the server takes
CHUNKED_HEAD = b"POST /RPC2 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"


# ---------------------------------------------------------------- the server

class Server:
    """One xmlrpc-test-server process on a free loopback port."""

    def __init__(self, path):
        with socket.socket() as s:
            s.bind((HOST, 0))
            self.port = s.getsockname()[1]
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([path, str(self.port)], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        try:
            self.start()
        except BaseException:
            self.stop()
            raise

    def start(self):
        deadline = time.monotonic() + 30
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("the server ended at start-up")
            try:
                socket.create_connection((HOST, self.port), timeout=0.5).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("the server did not start listening")
                time.sleep(0.05)
        # One call, so the baseline has what serving any request takes.
        replies, _ = exchange(self.port, post(call_xml("RescanFormats")), 1)
        if not replies or replies[0].summary() != "200 Ok":
            raise RuntimeError("the server does not answer a call: %r" % replies)
        time.sleep(0.3)
        self.sockets0 = self.sockets()
        self.hwm_reset = self.reset_peak()
        self.rss0 = self.memory()[0]

    def memory(self):
        """(VmRSS, VmHWM) in bytes."""
        values = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    values[key] = int(rest.split()[0]) * 1024
        return values["VmRSS"], values["VmHWM"]

    def growth(self):
        """(VmRSS, VmHWM) over the baseline, in MB (10^6 bytes)."""
        rss, hwm = self.memory()
        return (rss - self.rss0) / 1e6, (hwm - self.rss0) / 1e6

    def reset_peak(self):
        try:
            with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
                f.write("5")
            return True
        except OSError:
            return False

    def sockets(self):
        """Sockets the process has open."""
        fd_dir = "/proc/%d/fd" % self.proc.pid
        count = 0
        for name in os.listdir(fd_dir):
            try:
                count += os.readlink(os.path.join(fd_dir, name)).startswith("socket:")
            except OSError:
                pass
        return count

    def connections(self):
        """Client connections the server holds (its sockets over the baseline)."""
        return self.sockets() - self.sockets0

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def unread_bytes(port):
    """Bytes sent to `port` that its server has not read yet (from the
    kernel's TCP tables): what clients still queue, what servers' sockets hold."""
    total = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                lines = f.readlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            local, remote, state = fields[1], fields[2], fields[3]
            tx, rx = (int(v, 16) for v in fields[4].split(":"))
            if state != "01":  # established
                continue
            if int(local.rsplit(":", 1)[1], 16) == port:
                total += rx
            elif int(remote.rsplit(":", 1)[1], 16) == port:
                total += tx
    return total


def wait_read(port, timeout=1.0):
    """Waits until the server has read all that was sent to it; True if so."""
    deadline = time.monotonic() + timeout
    while unread_bytes(port):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


# ------------------------------------------------------------- HTTP messages

def call_xml(method, *params):
    return xmlrpc.client.dumps(params, methodname=method).encode()


def padded_call(size):
    """A RescanFormats call of exactly `size` bytes, blanks inside methodCall."""
    head = b"<?xml version=\"1.0\"?>\n<methodCall><methodName>RescanFormats</methodName>"
    tail = b"</methodCall>\n"
    return head + b" " * (size - len(head) - len(tail)) + tail


def post(body, version=b"HTTP/1.1", headers=b""):
    return (b"POST /RPC2 " + version + b"\r\nContent-Type: text/xml\r\n" + headers +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def chunked(body, head=CHUNKED_HEAD):
    return head + b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n"


class Reply:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def code(self):
        return int(self.status.split()[1])

    def summary(self):
        code = self.code()
        if code != 200:
            return " ".join(self.status.split()[1:])
        try:
            value = xmlrpc.client.loads(self.body)[0][0]
            return "200 %s" % value
        except xmlrpc.client.Fault as fault:
            return "200 fault: %s" % fault.faultString
        except Exception:
            return "200 (not XML-RPC)"


def parse_replies(data):
    """The complete replies at the start of `data`, and the bytes left."""
    replies = []
    while True:
        end = data.find(b"\r\n\r\n")
        if end < 0:
            return replies, data
        lines = data[:end].decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.setdefault(name.strip().lower(), []).append(value.strip())
        length = int(headers.get("content-length", ["0"])[0])
        if " 1" == lines[0][8:10]:
            length = 0  # an interim answer has no body
        if len(data) < end + 4 + length:
            return replies, data
        replies.append(Reply(lines[0], headers, data[end + 4:end + 4 + length]))
        data = data[end + 4 + length:]


class Client:
    """A connection that collects what the server sends."""

    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=5)
        self.data = b""
        self.replies = []
        self.closed = False

    def send(self, data):
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            return False

    def poll(self, wait):
        """Reads what comes within `wait` s of silence; returns the new replies."""
        got = []
        while not self.closed:
            ready, _, _ = select.select([self.sock], [], [], wait)
            if not ready:
                break
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                self.closed = True
                break
            self.data += chunk
            new, self.data = parse_replies(self.data)
            got += new
        self.replies += got
        return got

    def close(self):
        self.sock.close()


def exchange(port, data, expected, wait=0.3, then=None):
    """Sends `data` on a new connection; reads until the server closes, or
    `wait` s after `expected` replies (then sends `then`, if given, and reads
    on). Returns (replies, whether the server closed)."""
    c = Client(port)
    try:
        c.send(data)
        deadline = time.monotonic() + 4
        while not c.closed and len(c.replies) < expected and time.monotonic() < deadline:
            c.poll(0.1)
        c.poll(wait)
        if then is not None and not c.closed:
            c.send(then)
            deadline = time.monotonic() + 4
            while not c.closed and len(c.replies) < expected + 1 and time.monotonic() < deadline:
                c.poll(0.1)
            c.poll(wait)
        return c.replies, c.closed
    finally:
        c.close()


def describe(replies, closed):
    answers = " + ".join(r.summary() for r in replies) or "no answer"
    return "%s; %s" % (answers, "closed" if closed else "kept open")


# ---------------------------------------------------------------- scenarios

def report(row, text):
    print("  [%s] %s" % (row, text))
    sys.stdout.flush()


def held_chunked(server, data):
    """A client holding an unfinished chunked body: a 4 MiB chunk of which
    `data` bytes have come; `rest` is what completes the request."""
    c = Client(server.port)
    c.rest = b"x" * (BODY_MAX - data) + b"\r\n0\r\n\r\n"
    # What each of the request's last bytes is, for the report.
    c.labels = ["data byte"] * (BODY_MAX - data - 1) + [
        "last data byte", "CR after the data", "LF after it", "last-chunk 0", "its CR",
        "its LF", "final CR", "final LF"][0 if data < BODY_MAX else 1:]
    c.send(CHUNKED_HEAD + b"400000\r\n" + b"x" * data)
    return c


def scenario_held(path, data, title):
    print("\n%s. 12 clients hold an unfinished 4 MiB chunked body (%s), "
          "40 rounds of one byte more" % (title, "4 MiB - 1 data bytes" if data < BODY_MAX
                                          else "all 4 MiB of data, not its CRLF"))
    server = Server(path)
    try:
        t0 = time.monotonic()
        slots = [held_chunked(server, data) for _ in range(12)]
        all_read = wait_read(server.port)
        early = [r.summary() for c in slots for r in c.poll(0.01)]
        rss, hwm = server.growth()
        report(title, "12 held: all read %s, answers %s; VmRSS +%.1f MB, VmHWM +%.1f MB"
               % ("yes" if all_read else "NO", early or "none", rss, hwm))
        outcomes = {}   # (byte sent, answer, closed) -> rounds
        refused = []    # answered clients, left open
        newcomers = {}  # what a new client's 4 MiB was answered -> count
        for i in range(40):
            c = slots[i % 12]
            byte, label = c.rest[:1], c.labels[0]
            c.rest, c.labels = c.rest[1:], c.labels[1:]
            c.send(byte)
            got = c.poll(0.03)
            answer = " + ".join(r.summary() for r in got) or "nothing"
            key = (label, answer, c.closed)
            outcomes[key] = outcomes.get(key, 0) + 1
            if got or c.closed:
                refused.append(c)
                n = held_chunked(server, data)
                wait_read(server.port)
                taken = " + ".join(r.summary() for r in n.poll(0.01)) or "held"
                newcomers[taken] = newcomers.get(taken, 0) + 1
                slots[i % 12] = n
        rounds = time.monotonic() - t0
        rss, hwm = server.growth()
        for (byte, answer, closed), n in sorted(outcomes.items()):
            report(title, "%2d rounds: %s -> %s, %s" % (n, byte, answer,
                                                     "server shut its side" if closed
                                                     else "kept open"))
        report(title, "new clients' 4 MiB: %s" % (newcomers or "none"))
        report(title, "after 40 rounds (%.2f s from the first client): VmRSS +%.1f MB, "
               "VmHWM +%.1f MB; %d connections on the server (%d held, %d refused)"
               % (rounds, rss, hwm, server.connections(), len(slots), len(refused)))
        # The refused connections drain (up to 2 s after their answer); the
        # held ones reach the 3 s request time-out meanwhile.
        samples = []
        start = time.monotonic()
        while time.monotonic() - start < 2.5:
            rss, hwm = server.growth()
            samples.append((time.monotonic() - start, rss, hwm, server.connections()))
            time.sleep(0.1)
        series = ", ".join("%.1fs %+.0f/%d" % (t, r, n) for t, r, _, n in samples[::3])
        report(title, "the next 2.5 s, VmRSS MB / connections held: %s" % series)
        report(title, "in those 2.5 s: VmRSS max +%.1f MB, min +%.1f MB; VmHWM +%.1f MB"
               % (max(s[1] for s in samples), min(s[1] for s in samples), samples[-1][2]))
        statuses = [r.code() for c in slots + refused for r in c.replies]
        report(title, "503 answers in all: %d (other answers: %s)"
               % (statuses.count(503), sorted(s for s in statuses if s != 503) or "none"))
        for c in slots + refused:
            c.close()
        time.sleep(1.5)
        rss, hwm = server.growth()
        report(title, "all closed, 1.5 s later: VmRSS +%.1f MB" % rss)
    finally:
        server.stop()


def scenario_twelfth(path):
    print("\n1c. 11 clients hold an unfinished 4 MiB body; a 12th sends a whole 4 MiB request")
    body = padded_call(BODY_MAX)
    held = [("Content-Length", lambda server: held_length(server, BODY_MAX)),
            ("chunked", lambda server: held_chunked(server, BODY_MAX - 1))]
    for held_name, hold in held:
        for name, request in [("chunked", chunked(body)), ("Content-Length", post(body))]:
            server = Server(path)
            try:
                fill = [hold(server) for _ in range(11)]
                wait_read(server.port)
                report("1c", "11 held %s, a 12th %s: %s"
                       % (held_name, name, describe(*exchange(server.port, request, 1))))
                for c in fill:
                    c.close()
            finally:
                server.stop()


def scenario_at_once(path):
    print("\n2. 13 clients send complete 4 MiB bodies at once (fresh server each run)")
    body = padded_call(BODY_MAX)
    variants = [("chunked", chunked(body)), ("Content-Length", post(body))]
    for name, request in variants:
        peaks, answers = [], []
        for run in range(3):
            server = Server(path)
            try:
                clients = [Client(server.port) for _ in range(13)]
                go = threading.Barrier(13)

                def send(c):
                    go.wait()
                    c.send(request)
                    deadline = time.monotonic() + 6
                    while not c.replies and not c.closed and time.monotonic() < deadline:
                        c.poll(0.2)

                threads = [threading.Thread(target=send, args=(c,)) for c in clients]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                peaks.append(server.growth()[1])
                tally = {}
                for c in clients:
                    s = " + ".join(r.summary() for r in c.replies) or "no answer"
                    tally[s] = tally.get(s, 0) + 1
                    c.close()
                answers.append(", ".join("%d x %s" % (n, s) for s, n in sorted(tally.items())))
            finally:
                server.stop()
        report(2, "%s: VmHWM +%.1f to +%.1f MB (runs: %s)"
               % (name, min(peaks), max(peaks), ", ".join("%.1f" % p for p in peaks)))
        for i, a in enumerate(answers):
            report(2, "%s run %d answers: %s" % (name, i + 1, a))


def scenario_framing(path):
    server = Server(path)
    port = server.port
    call = call_xml("RescanFormats")
    second = post(call)  # a pipelined HTTP/1.1 request
    try:
        print("\n3. bare LF in chunk framing, with a request pipelined after it")
        for name, head in [
                ("chunk data ended by a bare LF",
                 CHUNKED_HEAD + b"%x\r\n" % len(call) + call + b"\n0\r\n\r\n"),
                ("chunk-size line ended by a bare LF in an extension",
                 CHUNKED_HEAD + b"%x;ext=1\n" % len(call) + call + b"\r\n0\r\n\r\n"),
                ("(control: the same, CRLF)", chunked(call))]:
            report(3, "%s: %s" % (name, describe(*exchange(port, head + second, 2))))

        print("\n4. HTTP/1.0 with Transfer-Encoding: chunked and Connection: keep-alive")
        head = (b"POST /RPC2 HTTP/1.0\r\nTransfer-Encoding: chunked\r\n"
                b"Connection: keep-alive\r\n\r\n")
        report(4, "with a pipelined request: %s"
               % describe(*exchange(port, chunked(call, head) + second, 2)))

        print("\n5. request-line versions, with a request pipelined after it")
        for version in [b"HTTP/2.0", b"HTTP/0.9", b"HTTP/", b"HTTP/1.1x",
                        b"HTTP/1.2", b"HTTP/1.1"]:
            report(5, "%-9s %s" % (version.decode(),
                                   describe(*exchange(port, post(call, version) + second, 2))))

        print("\n6. Transfer-Encoding lists")
        for name, fields in [
                ("chunked, chunked", b"Transfer-Encoding: chunked, chunked\r\n"),
                ("two chunked fields",
                 b"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"),
                ("gzip", b"Transfer-Encoding: gzip\r\n"),
                ("gzip, chunked", b"Transfer-Encoding: gzip, chunked\r\n"),
                ("chunked", b"Transfer-Encoding: chunked\r\n")]:
            head = b"POST /RPC2 HTTP/1.1\r\n" + fields + b"\r\n"
            report(6, "%-18s %s" % (name + ":", describe(*exchange(port, chunked(call, head), 1))))

        print("\n7. GET")
        replies, closed = exchange(port, b"GET /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1)
        allow = replies[0].headers.get("allow") if replies else None
        report(7, "%s; Allow: %s" % (describe(replies, closed), allow[0] if allow else "(none)"))

        print("\n8. HTTP/1.0 with Connection: keep-alive, a second request after the reply")
        first = post(call, b"HTTP/1.0", b"Connection: keep-alive\r\n")
        replies, closed = exchange(port, first, 1, then=first)
        said = replies[0].headers.get("connection") if replies else None
        report(8, "reply says Connection: %s; %s"
               % (said[0] if said else "(none)", describe(replies, closed)))
    finally:
        server.stop()


def held_length(server, length):
    """A client holding an unfinished Content-Length body (all but one byte)."""
    c = Client(server.port)
    c.send(b"POST /RPC2 HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % length + b"x" * (length - 1))
    return c


def expect_chunked(server, body):
    """A chunked request that waits for 100 Continue before its body; returns
    what it was answered, before and after the body."""
    c = Client(server.port)
    try:
        c.send(b"POST /RPC2 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
               b"Expect: 100-continue\r\n\r\n")
        t0 = time.monotonic()
        first = c.poll(0.5)
        took = time.monotonic() - t0
        text = "first answer %s" % ("+".join(r.summary() for r in first) or "none")
        if first and first[0].code() == 100:
            text += ", then with its %d-byte body sent: " % len(body)
            c.send(b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n")
            c.poll(1.0)
            text += " + ".join(r.summary() for r in c.replies[len(first):]) or "no answer"
        elif first:
            text += " (within %.0f ms)" % (took * 1000)
        return text + ("; closed" if c.closed else "; kept open")
    finally:
        c.close()


def scenario_expect(path):
    print("\n9. chunked with Expect: 100-continue, with and without room for 4 MiB")
    body = padded_call(BODY_MAX)
    server = Server(path)
    try:
        # 11 x 4 MiB and one of 1 MiB leave 3 MiB of the 48 MiB that large
        # requests may take.
        fill = [held_length(server, BODY_MAX) for _ in range(11)] + [held_length(server, MIB)]
        all_read = wait_read(server.port)
        answered = [r.summary() for c in fill for r in c.poll(0.01)]
        report(9, "filled with 11 x 4 MiB + 1 MiB unfinished Content-Length bodies "
               "(all read: %s, answers: %s; VmRSS +%.1f MB)"
               % ("yes" if all_read else "NO", answered or "none", server.growth()[0]))
        report(9, "no room: %s" % expect_chunked(server, body))
        for c in fill:
            c.close()
        time.sleep(0.3)
        report(9, "with room (the fill closed): %s" % expect_chunked(server, body))
    finally:
        server.stop()


def namespace():
    """The network namespace this runs in, and the interfaces it has (only
    "lo" in a namespace of its own)."""
    try:
        ns = os.readlink("/proc/self/ns/net")
    except OSError:
        ns = "unknown"
    return "%s, interfaces: %s" % (ns, " ".join(name for _, name in socket.if_nameindex()))


def main():
    if len(sys.argv) != 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit("usage: %s <path to xmlrpc-test-server>" % sys.argv[0])
    path = sys.argv[1]
    t0 = time.monotonic()
    print("server: %s" % os.path.realpath(path))
    print("network namespace: %s" % namespace())
    probe = Server(path)
    print("VmHWM reset at the baseline: %s" % ("yes" if probe.hwm_reset else
                                              "no (VmHWM counts from start-up)"))
    probe.stop()
    scenario_held(path, BODY_MAX - 1, "1")
    scenario_held(path, BODY_MAX, "1b")
    scenario_twelfth(path)
    scenario_at_once(path)
    scenario_framing(path)
    scenario_expect(path)
    print("\nwhole run: %.1f s" % (time.monotonic() - t0))


if __name__ == "__main__":
    main()
