"""Clients in a hurry. Eight clients queue SetGen commands in parallel: every
call is answered, ids are unique, the engine processes the commands in id
order, and the server still answers afterwards. Requests sent back to back
build on each other; the queue is bounded, does not starve the other methods
and does not hold up shut-down."""

import os
import re
import sys
import threading
import time
import unittest
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kbxmlrpc import Server, stop_checked, wait_for  # noqa: E402

CLIENTS = 8
CALLS = 500
HEAVY = {"Pattern": "SectorStar", "Style": "Sine", "Divisions": "360"}
QUEUE_LIMIT = 500  # the engine's bound on queued commands


class Load(unittest.TestCase):
    def test_parallel_setgen(self):
        server = Server()
        try:
            self.run_load(server)
        finally:
            status, out = server.finish()
            self.assertEqual(status, 0, out[-4000:])

    def run_load(self, server):
        ids = [[] for _ in range(CLIENTS)]
        errors = []
        samples = []  # (Client, Seq) of the current arguments, as the engine moves on
        done = threading.Event()
        start = threading.Barrier(CLIENTS + 1)

        def client(c):
            rpc = server.proxy()
            try:
                start.wait()
                for n in range(CALLS):
                    ids[c].append(rpc.SetGen({"LoadClient": str(c), "LoadSeq": str(n)}))
            except Exception as e:  # reported below; the other clients go on
                errors.append("client %d: %r" % (c, e))
            finally:
                rpc("close")()

        def watcher():
            rpc = server.proxy()
            start.wait()
            while not done.is_set():
                args = rpc.GetGenOptions()[-1]
                if "LoadSeq" in args:
                    samples.append((int(args["LoadClient"]), int(args["LoadSeq"])))
            rpc("close")()

        threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
        threads.append(threading.Thread(target=watcher))
        for t in threads:
            t.start()
        for t in threads[:-1]:
            t.join(timeout=90)
        done.set()
        threads[-1].join(timeout=30)

        self.assertEqual(errors, [])
        self.assertEqual([len(i) for i in ids], [CALLS] * CLIENTS)
        every = [i for per in ids for i in per]
        self.assertTrue(all(isinstance(i, int) and i > 0 for i in every))
        self.assertEqual(len(set(every)), CLIENTS * CALLS, "ids are not unique")
        for per in ids:
            self.assertEqual(per, sorted(per), "a client's ids went backwards")

        # The engine processes commands strictly in id order: what it shows
        # as current only ever moves to later ids, and ends at the last one.
        id_of = {(c, n): ids[c][n] for c in range(CLIENTS) for n in range(CALLS)}
        seen = [id_of[s] for s in samples]
        self.assertEqual(seen, sorted(seen), "a command was processed after a later one")
        last = max(every)
        last_key = next(k for k, v in id_of.items() if v == last)
        rpc = server.proxy()
        final = wait_for(lambda: (lambda a: a if (int(a.get("LoadClient", -1)),
                                                  int(a.get("LoadSeq", -1))) == last_key else None)(
            rpc.GetGenOptions()[-1]), timeout=60)
        self.assertTrue(final, "the last command was never processed")
        self.assertEqual(rpc.RescanFormats(), "Ok")
        self.assertEqual(rpc.SetGen({"LoadSeq": "after"}), last + 1)
        rpc("close")()


class Hurried(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        stop_checked(cls.server)

    def setUp(self):
        self.rpc = self.server.proxy()

    def tearDown(self):
        self.rpc("close")()

    def settled(self, marker):
        """The current settings and arguments once the command carrying
        "Marker" = `marker` is current."""
        records = wait_for(lambda: (lambda r: r if r[-1].get("Marker") == marker else None)(
            self.rpc.GetGenOptions()), timeout=60)
        self.assertTrue(records, "the marked command never became current")
        return records[-2], records[-1]

    def check_window_with_titling(self, marker, output_color):
        self.rpc.SetGen({"Marker": marker})
        settings, args = self.settled(marker)
        self.assertEqual(args["Pattern"], "Window")
        self.assertEqual(args["Size"], "10")
        self.assertEqual(args["OutputTitling"], "1")
        self.assertEqual(settings["OutputTitling"], "1")
        self.assertEqual(settings["OutputColor"], output_color)

    def test_each_request_builds_on_those_queued_before(self):
        self.rpc.SetGen({"Pattern": "Colorbars", "OutputColor": "YCbCr_10", "Marker": "start"})
        self.settled("start")
        multi = xmlrpc.client.MultiCall(self.rpc)
        for _ in range(4):
            multi.SetGen(HEAVY)
        multi.SetGen({"Pattern": "Window", "Size": "10", "OutputColor": "RGB_10"})
        multi.SetGen({"OutputTitling": "1"})
        ids = list(multi())
        self.assertEqual(ids, list(range(ids[0], ids[0] + 6)))
        self.check_window_with_titling("multicall", "RGB_10")

        # Two plain calls while a slow render is under way.
        self.rpc.SetGen({"Pattern": "Colorbars", "OutputColor": "YCbCr_10", "Marker": "again"})
        self.settled("again")
        self.rpc.SetGen(HEAVY)
        self.rpc.SetGen({"Pattern": "Window", "Size": "10"})
        self.rpc.SetGen({"OutputTitling": "1"})
        self.check_window_with_titling("plain", "YCbCr_10")

    def test_other_methods_get_in_between_commands(self):
        count = 100
        multi = xmlrpc.client.MultiCall(self.rpc)
        for n in range(count):
            multi.SetGen(dict(HEAVY, Seq=str(n)))
        self.assertNotIn(-1, list(multi()))
        # Each is answered after at most the command being processed, not
        # after the whole queue.
        self.assertEqual(self.rpc.GetDreskoVersion()[0]["Software"], "315M")
        self.assertEqual(self.rpc.ReadEdid().data, bytes([4, 3, 2, 1]))
        self.assertEqual(self.rpc.RescanFormats(), "Ok")
        seq = int(self.rpc.GetGenOptions()[-1].get("Seq", "-1"))
        self.assertLess(seq, 10, "the replies waited for the queue")


class FullQueue(unittest.TestCase):
    def test_full_queue_refuses_and_shut_down_drops_it(self):
        server = Server()
        rpc = server.proxy()
        try:
            multi = xmlrpc.client.MultiCall(rpc)
            for _ in range(QUEUE_LIMIT + 40):
                multi.SetGen(HEAVY)
            replies = list(multi())
            rpc("close")()
            accepted = [r for r in replies if r != -1]
            self.assertGreaterEqual(len(accepted), QUEUE_LIMIT)
            self.assertIn(-1, replies)
            self.assertEqual(accepted, list(range(accepted[0], accepted[0] + len(accepted))))
            self.assertIn("Warning: asyncSetGen: %d commands queued, request refused\n"
                          % QUEUE_LIMIT, server.output())
        finally:
            status, out = server.finish()
        self.assertEqual(status, 0, out[-4000:])
        # SIGTERM lets the render under way finish and drops the rest.
        after = out[out.index("stopping on signal"):]
        self.assertLessEqual(len(re.findall("pattern rendered SectorStar", after)), 3)
        self.assertRegex(after, r"Info: ~MtCore: \d+ queued commands dropped\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
