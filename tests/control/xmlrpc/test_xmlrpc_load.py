"""Eight clients queue SetGen commands in parallel: every call is answered,
ids are unique, the engine processes the commands in id order, and the
server still answers afterwards."""

import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kbxmlrpc import Server, wait_for  # noqa: E402

CLIENTS = 8
CALLS = 500


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


if __name__ == "__main__":
    unittest.main(verbosity=2)
