#!/usr/bin/env python3
"""Another client's wait while hostile clients hold the XML-RPC server.

For each build given, starts xmlrpc-test-server (request time-out 3 s) and
runs these cases, the builds side by side (case by case, alternating):

  slow N    N slow connections, each sending a request header one byte a
            second; the server cuts each off at its deadline and the client
            connects again when it notices. Another client asks
            GetDreskoVersion on a fresh connection every 0.1 s: median and
            worst wait, and the descriptors the server holds at the end.
  multicall one system.multicall of 1 000 MMCAlias("/usr/bin") (each call
            scans the folder on the server thread): how long it takes, and
            another client's median and worst wait meanwhile.
  burst     2 000 connects at once, with none open and with 10 000 idle
            connections open: accepts per second, and how long a client
            right behind the burst waits.

Run as root, so the descriptor limit can be raised to 20 000, in a network
namespace of its own so nothing else shares the loopback:

    ip netns add kbbench && ip netns exec kbbench ip link set lo up
    ip netns exec kbbench python3 bench/xmlrpc_slow_clients.py \\
        before=/path/to/old/bin/xmlrpc-test-server \\
        after=build/default/bin/xmlrpc-test-server

Give each binary where it was built: it reads the data folder beside it.
Options: --cases slow,multicall,burst (default all), --repeat R (default 2),
--seconds S of probing per slow case (default 15), --slow N:LIMIT,... (the slow
cases: connections and the server's descriptor limit). Every case is bounded
in time; a probe that gets no answer within 30 s counts as failed.
"""

import argparse
import multiprocessing
import os
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
FD_LIMIT = 20000
PROBE_TIMEOUT = 30.0


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def call_xml(method, param=None):
    value = "" if param is None else (
        "<params><param><value><string>%s</string></value></param></params>" % param)
    body = "<?xml version=\"1.0\"?><methodCall><methodName>%s</methodName>%s</methodCall>" % (
        method, value)
    return body.encode()


def http_post(body):
    return (b"POST /RPC2 HTTP/1.0\r\nHost: bench\r\nContent-Type: text/xml\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body)) + body


def exchange(port, data, timeout):
    """Sends `data` on a fresh connection; the reply read to the server's
    close, or None when none came within `timeout`."""
    deadline = time.monotonic() + timeout
    try:
        with socket.create_connection((HOST, port), timeout=timeout) as s:
            s.sendall(data)
            chunks = []
            while True:
                s.settimeout(max(0.01, deadline - time.monotonic()))
                piece = s.recv(65536)
                if not piece:
                    break
                chunks.append(piece)
            reply = b"".join(chunks)
            return reply if b"</methodResponse>" in reply else None
    except OSError:
        return None


class Server:
    def __init__(self, binary, fd_limit):
        self.port = free_port()
        self.log = tempfile.TemporaryFile()

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (fd_limit, fd_limit))

        self.proc = subprocess.Popen([binary, str(self.port)], stdout=self.log,
                                     stderr=subprocess.STDOUT, preexec_fn=limit)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if exchange(self.port, http_post(call_xml("GetDreskoVersion")), 2.0):
                return
            time.sleep(0.05)
        raise RuntimeError("%s did not start" % binary)

    def open_descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


# ------------------------------------------------------ connection holders

def hold(port, count, trickle, opened, stop):
    """Holds `count` connections until `stop` is set. With `trickle` each sends
    a request header one byte a second and connects again when cut off;
    otherwise they stay idle. `opened` counts those connected."""
    header = b"POST /RPC2 HTTP/1.1\r\nHost: bench\r\nContent-Type: text/xml\r\n"
    socks = [None] * count
    sent = [0] * count
    connected = [False] * count

    def connect(i):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((HOST, port))
        socks[i], sent[i], connected[i] = s, 0, False

    def drop(i):
        if connected[i]:
            with opened.get_lock():
                opened.value -= 1
        socks[i].close()
        socks[i] = None

    for i in range(count):
        connect(i)
    tick, i = 0.01, 0
    per_tick = max(1, int(count * tick))  # every connection once a second
    while not stop.is_set():
        t0 = time.monotonic()
        for _ in range(per_tick):
            i = (i + 1) % count
            if socks[i] is None:
                connect(i)
                continue
            try:
                if trickle:
                    socks[i].send(header[sent[i] % len(header):][:1])
                    sent[i] += 1
                elif not connected[i]:
                    socks[i].getpeername()  # raises until connected
                if not connected[i]:
                    connected[i] = True
                    with opened.get_lock():
                        opened.value += 1
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                drop(i)
                if trickle:
                    connect(i)
        time.sleep(max(0.0, tick - (time.monotonic() - t0)))
    for s in socks:
        if s:
            s.close()


class Holders:
    """`count` connections held by worker processes (2 500 each at most)."""

    def __init__(self, port, count, trickle):
        self.opened = multiprocessing.Value("i", 0)
        self.stop = multiprocessing.Event()
        workers = max(1, -(-count // 2500))
        self.procs = [multiprocessing.Process(
            target=hold, args=(port, count // workers + (w < count % workers), trickle,
                               self.opened, self.stop)) for w in range(workers)]
        for p in self.procs:
            p.start()

    def wait_opened(self, count, timeout):
        deadline = time.monotonic() + timeout
        while self.opened.value < count and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.opened.value

    def close(self):
        self.stop.set()
        for p in self.procs:
            p.join(timeout=30)
            if p.is_alive():
                p.kill()


# ------------------------------------------------------------------- probes

def probe(port, seconds, while_running=None):
    """Asks GetDreskoVersion every 0.1 s for `seconds` (or while
    `while_running()` is true): the waits, and how many got no answer."""
    waits, failed = [], 0
    start = time.monotonic()
    request = http_post(call_xml("GetDreskoVersion"))
    while True:
        now = time.monotonic()
        if while_running is None and now - start > seconds:
            break
        if while_running is not None and (not while_running() or now - start > seconds):
            break
        t0 = time.monotonic()
        if exchange(port, request, PROBE_TIMEOUT) is None:
            failed += 1
        else:
            waits.append(time.monotonic() - t0)
        time.sleep(max(0.0, 0.1 - (time.monotonic() - t0)))
    return waits, failed


def summary(waits, failed):
    if not waits:
        return "no answer (%d failed)" % failed
    text = "median %.3f s, worst %.3f s" % (statistics.median(waits), max(waits))
    return text + (", %d of %d failed" % (failed, failed + len(waits)) if failed else "")


# -------------------------------------------------------------------- cases

def case_slow(binary, count, fd_limit, seconds):
    server = Server(binary, fd_limit)
    holders = Holders(server.port, count, trickle=True)
    try:
        holders.wait_opened(min(count, int(fd_limit * 0.7)), 60)
        time.sleep(2)  # past the first cut-offs: connections come and go
        waits, failed = probe(server.port, seconds)
        held = server.open_descriptors()
    finally:
        holders.close()
        server.stop()
    return "%s (server holds %d descriptors at the end)" % (summary(waits, failed), held)


def case_multicall(binary, calls, seconds_bound=180):
    server = Server(binary, FD_LIMIT)
    body = ("<?xml version=\"1.0\"?><methodCall><methodName>system.multicall</methodName>"
            "<params><param><value><array><data>" +
            "<value><struct><member><name>methodName</name><value>MMCAlias</value></member>"
            "<member><name>params</name><value><array><data><value>/usr/bin</value></data>"
            "</array></value></member></struct></value>" * calls +
            "</data></array></value></param></params></methodCall>").encode()
    result = {}

    def run():
        t0 = time.monotonic()
        reply = exchange(server.port, http_post(body), seconds_bound) or b""
        result["seconds"] = time.monotonic() - t0
        result["not run"] = reply.count(b"not run")

    worker = threading.Thread(target=run)
    try:
        worker.start()
        time.sleep(0.05)
        waits, failed = probe(server.port, seconds_bound, while_running=worker.is_alive)
        worker.join()
    finally:
        server.stop()
    return "answered after %.2f s (%d calls not run); another client: %s" % (
        result["seconds"], result["not run"], summary(waits, failed))


def case_burst(binary, idle, burst=2000):
    server = Server(binary, FD_LIMIT)
    holders = Holders(server.port, idle, trickle=False) if idle else None
    socks = []
    try:
        if holders:
            holders.wait_opened(idle, 120)
            deadline = time.monotonic() + 120  # accepted, not only in the listen queue
            while server.open_descriptors() < idle and time.monotonic() < deadline:
                time.sleep(0.1)
            time.sleep(1)
        t0 = time.monotonic()
        for _ in range(burst):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex((HOST, server.port))
            socks.append(s)
        reply = exchange(server.port, http_post(call_xml("GetDreskoVersion")), 60)
        took = time.monotonic() - t0
    finally:
        for s in socks:
            s.close()
        if holders:
            holders.close()
        server.stop()
    if reply is None:
        return "the client behind the burst got no answer within 60 s"
    return "%.0f accepts/s; the client behind the burst waits %.2f s" % ((burst + 1) / took, took)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("builds", nargs="+", help="label=path/to/xmlrpc-test-server")
    parser.add_argument("--cases", default="slow,multicall,burst")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--slow", default="1000:20000,3000:20000,6000:20000,10000:20000,3000:1024",
                        help="count:descriptor-limit pairs for the slow case")
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (FD_LIMIT, FD_LIMIT))
    builds = [b.split("=", 1) for b in args.builds]
    cases = []
    if "slow" in args.cases:
        for pair in args.slow.split(","):
            n, limit = (int(x) for x in pair.split(":"))
            cases.append(("slow %d, limit %d" % (n, limit),
                          lambda b, n=n, limit=limit: case_slow(b, n, limit, args.seconds)))
    if "multicall" in args.cases:
        cases.append(("multicall of 1000 MMCAlias", lambda b: case_multicall(b, 1000)))
    if "burst" in args.cases:
        cases.append(("burst of 2000, none open", lambda b: case_burst(b, 0)))
        cases.append(("burst of 2000, 10000 idle open", lambda b: case_burst(b, 10000)))
    netns = subprocess.run(["ip", "netns", "identify", str(os.getpid())],
                           capture_output=True, text=True).stdout.strip()
    print("loopback: %s" % ("network namespace " + netns if netns else "the host's"), flush=True)
    rows = []
    for name, run in cases:
        for r in range(args.repeat):
            for label, binary in builds:
                t0 = time.monotonic()
                text = run(binary)
                print("%-32s %-8s run %d: %s  [%.0f s]" % (name, label, r + 1, text,
                                                           time.monotonic() - t0), flush=True)
                rows.append((name, label, r + 1, text))
    print("\n| Case | Build | Run | Result |\n|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %d | %s |" % row)


if __name__ == "__main__":
    sys.exit(main())
