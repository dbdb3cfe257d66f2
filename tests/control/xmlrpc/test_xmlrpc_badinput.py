"""Hostile and broken input over raw sockets: the server answers what it can,
closes what it cannot, keeps serving the other clients and never crashes."""

import os
import socket
import sys
import threading
import time
import unittest
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kbxmlrpc import (HOST, Server, call_xml, http_post, parse_reply,  # noqa: E402
                      raw_exchange, read_all, stop_checked)

server = None
REQUEST_TIMEOUT = 3.0  # the test server's deadline for one request


def setUpModule():
    global server
    server = Server()


def tearDownModule():
    stop_checked(server)


def nested(depth):
    return (b"<?xml version='1.0'?><methodCall><methodName>SetGen</methodName><params><param>" +
            b"<value><array><data>" * depth + b"<value><i4>1</i4></value>" +
            b"</data></array></value>" * depth + b"</param></params></methodCall>")


class BadInput(unittest.TestCase):
    def setUp(self):
        self.rpc = server.proxy()

    def tearDown(self):
        self.assertEqual(self.rpc.RescanFormats(), "Ok")  # still serving
        self.rpc("close")()

    def test_broken_http_gets_an_error_status(self):
        body = call_xml("SetGen", "Colorbars")
        for name, data, status in [
                ("truncated header", b"POST /RPC2 HTTP/1.0\r\nContent-Le", b"400"),
                ("body cut short", http_post(body)[:-10], b"400"),
                ("no Content-Length", b"POST /RPC2 HTTP/1.0\r\n\r\n" + body, b"411"),
                ("negative Content-Length",
                 b"POST /RPC2 HTTP/1.0\r\nContent-Length: -5\r\n\r\n", b"400"),
                ("garbage", b"\x00\xff" * 100 + b"\r\n\r\n", b"400"),
                ("not POST", b"GET /RPC2 HTTP/1.1\r\n\r\n", b"405")]:
            with self.subTest(name):
                raw = raw_exchange(server.port, data, shut_write=True)
                self.assertTrue(raw.startswith(b"HTTP/1.1 " + status), raw[:80])
    def test_body_longer_than_its_length(self):
        body = call_xml("SetGen", "Colorbars")
        reply = parse_reply(raw_exchange(server.port, http_post(body) + b"trailing junk"))
        self.assertIsInstance(reply, int)

    def test_body_shorter_than_its_length_times_out(self):
        body = call_xml("SetGen", "Colorbars")
        data = http_post(body).replace(b"Content-Length: %d" % len(body),
                                       b"Content-Length: %d" % (len(body) + 100))
        with socket.create_connection((HOST, server.port)) as s:
            s.sendall(data)
            t0 = time.monotonic()
            self.assertEqual(self.rpc.RescanFormats(), "Ok")  # others are served meanwhile
            self.assertEqual(read_all(s, timeout=REQUEST_TIMEOUT + 5), b"")
            self.assertLess(time.monotonic() - t0, REQUEST_TIMEOUT + 3)

    def test_malformed_xml(self):
        cases = [b"<methodCall><methodName>SetGen</methodName><params><param><value><struct>",
                 b"<<<>>>&&&", b"<methodCall><methodName>SetGen</methodName>"
                 b"<params><param><value><i4>zz</i4></value></param></params></methodCall>",
                 b"<methodCall><methodName>SetAlias</methodName><params><param><value><struct>"
                 b"<member><name>AliasName</name></member></struct></value></param></params>"
                 b"</methodCall>"]
        for body in cases:
            with self.subTest(body=body[:40]):
                raw = raw_exchange(server.port, http_post(body))
                self.assertTrue(raw.startswith(b"HTTP/1.1 200"), raw[:80])
                parse_reply(raw)  # a reply or a fault, well-formed either way

    def test_deep_nesting_is_refused(self):
        reply = parse_reply(raw_exchange(server.port, http_post(nested(50000)), timeout=30))
        self.assertIsInstance(reply, xmlrpc.client.Fault)
        self.assertIn("nested too deeply", reply.faultString)
        self.assertEqual(parse_reply(raw_exchange(server.port, http_post(nested(20)))), -1)

    def test_huge_body_is_refused_while_others_are_served(self):
        big = (b"<?xml version='1.0'?><methodCall><methodName>SetGen</methodName><params>"
               b"<param><value><string>" + b"A" * (50 * 1024 * 1024) +
               b"</string></value></param></params></methodCall>")
        result = {}

        def send_big():
            try:
                result["raw"] = raw_exchange(server.port, http_post(big), timeout=30)
            except OSError as e:  # the server may close before taking it all
                result["error"] = e

        sender = threading.Thread(target=send_big)
        sender.start()
        while sender.is_alive():
            self.assertEqual(self.rpc.RescanFormats(), "Ok")
        sender.join()
        if "raw" in result and result["raw"]:
            reply = parse_reply(result["raw"])
            self.assertIsInstance(reply, xmlrpc.client.Fault)
            self.assertIn("too large", reply.faultString)
        self.assertIn("Warning: XmlRpc: request too large", server.output())

    def test_slow_client_does_not_hold_up_others(self):
        data = http_post(call_xml("SetGen", "Colorbars"))
        closed = {}
        seen = len(server.output())

        def trickle():
            # A byte every half second, then nothing well before the deadline:
            # the server's loop, not a read, has to cut this client off.
            with socket.create_connection((HOST, server.port)) as s:
                t0 = time.monotonic()
                for i in range(len(data)):
                    if time.monotonic() - t0 > REQUEST_TIMEOUT - 1:
                        break
                    s.send(data[i:i + 1])
                    time.sleep(0.5)
                closed["tail"] = read_all(s, timeout=REQUEST_TIMEOUT + 2)
                closed["after"] = time.monotonic() - t0

        slow = threading.Thread(target=trickle)
        slow.start()
        calls = 0
        while slow.is_alive():
            t0 = time.monotonic()
            self.assertEqual(self.rpc.RescanFormats(), "Ok")
            self.assertLess(time.monotonic() - t0, 1.0)
            calls += 1
        self.assertGreater(calls, 10)
        self.assertEqual(closed["tail"], b"")
        self.assertGreater(closed["after"], REQUEST_TIMEOUT)  # cut off at its deadline
        self.assertLess(closed["after"], REQUEST_TIMEOUT + 2)
        self.assertIn("past its deadline", server.output()[seen:])


class FewDescriptors(unittest.TestCase):
    def test_idle_connections_never_lock_out_a_new_client(self):
        limit = 256
        limited = Server(fd_limit=limit)
        idle = []
        try:
            for _ in range(limit + 44):
                idle.append(socket.create_connection((HOST, limited.port), timeout=10))
                time.sleep(0.003)  # paced to the accepts: a full backlog costs a 1 s retry
            raw = raw_exchange(limited.port, http_post(call_xml("GetDreskoVersion")))
            self.assertEqual(parse_reply(raw)[0]["Software"], "315M")
            self.assertLess(len(os.listdir("/proc/%d/fd" % limited.proc.pid)), limit)
            # The longest idle went first; the newest stay open.
            self.assertEqual(read_all(idle[0], timeout=5), b"")
            idle[-1].settimeout(0.2)
            with self.assertRaises(socket.timeout):
                idle[-1].recv(1)
            self.assertIn("closing the longest idle one", limited.output())
        finally:
            for s in idle:
                s.close()
            self.assertEqual(limited.finish()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
