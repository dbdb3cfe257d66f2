"""Helpers for the XML-RPC integration tests: start the test server on a free
loopback port, talk to it, stop it and check that it ended cleanly."""

import os
import resource
import signal
import socket
import subprocess
import tempfile
import time
import xmlrpc.client

HOST = "127.0.0.1"


def server_path():
    path = os.environ.get("KB_XMLRPC_SERVER")
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError("KB_XMLRPC_SERVER must name the xmlrpc-test-server binary")
    return path


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Server:
    """One xmlrpc-test-server process; its standard output goes to a file.
    `fd_limit` caps the descriptors the process may open (RLIMIT_NOFILE)."""

    def __init__(self, port=None, wait=True, fd_limit=None):
        self.port = port or free_port()
        self.log = tempfile.NamedTemporaryFile(prefix="xmlrpc-server-", suffix=".log", delete=False)

        def limit_fds():
            resource.setrlimit(resource.RLIMIT_NOFILE, (fd_limit, fd_limit))

        self.proc = subprocess.Popen([server_path(), str(self.port)], stdout=self.log,
                                     stderr=subprocess.STDOUT,
                                     preexec_fn=limit_fds if fd_limit else None)
        if wait:
            self.wait_ready()

    def wait_ready(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("server ended at start-up:\n" + self.output())
            try:
                with socket.create_connection((HOST, self.port), timeout=0.5):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("server did not start listening:\n" + self.output())

    def url(self):
        return "http://%s:%d/RPC2" % (HOST, self.port)

    def proxy(self, **kw):
        return xmlrpc.client.ServerProxy(self.url(), **kw)

    def output(self):
        with open(self.log.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def cpu_seconds(self):
        """Processor time of all the server's threads, counted in nanoseconds."""
        total = 0
        for task in os.listdir("/proc/%d/task" % self.proc.pid):
            with open("/proc/%d/task/%s/schedstat" % (self.proc.pid, task)) as f:
                total += int(f.read().split()[0])
        return total / 1e9

    def stop(self):
        """Ends the server with SIGTERM; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        return self.proc.returncode

    def remove_log(self):
        try:
            os.unlink(self.log.name)
        except OSError:
            pass

    def finish(self):
        """Stops the server and removes its log; returns (exit status, output)."""
        status = self.stop()
        out = self.output()
        self.remove_log()
        return status, out


def stop_checked(server):
    """Stops `server`; raises AssertionError, with the end of its output, when
    it did not exit cleanly."""
    status, out = server.finish()
    if status != 0:
        raise AssertionError("server ended with %r:\n%s" % (status, out[-4000:]))


def wait_for(predicate, timeout=20.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def http_post(body, path="/RPC2", extra_headers=b""):
    if isinstance(body, str):
        body = body.encode("utf-8")
    return (b"POST " + path.encode() + b" HTTP/1.0\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: text/xml\r\n" + extra_headers +
            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def call_xml(method, *params):
    return xmlrpc.client.dumps(params, methodname=method).encode("utf-8")


def raw_exchange(port, data, timeout=10.0, shut_write=False):
    """Sends `data` on a fresh connection and returns everything read until
    the server closes (or `timeout`)."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(data)
        if shut_write:
            s.shutdown(socket.SHUT_WR)
        return read_all(s, timeout)


def read_all(s, timeout=10.0):
    s.settimeout(timeout)
    chunks = []
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    except (socket.timeout, ConnectionResetError):
        pass
    return b"".join(chunks)


def unread_by_server(sock, port):
    """Bytes that `sock`, connected to the server on `port`, has sent and the
    server has not read: on their way, or waiting in the server's socket (none
    once the server has closed it). Loopback IPv4, from /proc/net/tcp."""
    me = sock.getsockname()[1]
    left = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            ports = tuple(int(a.split(":")[1], 16) for a in fields[1:3])
            tx, rx = (int(q, 16) for q in fields[4].split(":"))
            left += tx if ports == (me, port) else rx if ports == (port, me) else 0
    return left


def parse_reply(raw):
    """The XML-RPC value (or Fault) of a raw HTTP reply."""
    head, _, body = raw.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1."):
        raise ValueError("no HTTP reply: %r" % raw[:80])
    try:
        return xmlrpc.client.loads(body)[0][0]
    except xmlrpc.client.Fault as fault:
        return fault
