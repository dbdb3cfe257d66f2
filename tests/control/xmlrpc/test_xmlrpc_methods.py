"""The remote-control methods over a real socket: worked replies, value
conversion, faults, introspection, multicall and trace redirection."""

import os
import socket
import sys
import tempfile
import time
import unittest
import xmlrpc.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kbxmlrpc import HOST, Server, stop_checked, wait_for  # noqa: E402

HELP = {
    "SetGen": "Generate a Named pattern or set generator parameters.  Pattern can be by string, "
              "or by structure {Pattern:\"name\", ...}",
    "PatternOption": "Returns a list of patterns and aliases supported, or details about a "
                     "specific pattern",
    "GetGenOptions": "Returns a list of generator options and their current settings",
    "SetAlias": "Set an alias for the given structure, the current pattern and settings, or the "
                "current output settings}",
    "MMCAlias": "Set or flushes aliases for MMC files",
    "GetDreskoVersion": "Returns a list of generator options and their current settings",
    "ReadEdid": "Returns the EDID table as read from the display",
    "RescanFormats": "Causes the Dresko to update it's video format list.",
}

GEN_OPTIONS = ["GatingColor", "GateRed", "GateGreen", "GateBlue", "VideoFormat", "OutputTitling",
               "BitDepth", "BlackLevel", "WhiteLevel", "OutputColor", "VideoMute", "ColorEncoding"]

server = None
ALIAS_REFUSED = "Cannot set null alias"


def setUpModule():
    global server
    server = Server()


def tearDownModule():
    stop_checked(server)


def current_args(rpc):
    return rpc.GetGenOptions()[-1]


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.rpc = server.proxy()

    def tearDown(self):
        self.rpc("close")()


class Replies(ClientTest):
    def patterns(self):
        return sorted(k for k, v in self.rpc.PatternOption().items() if not v.startswith("Alias/"))

    def test_no_parameters(self):
        self.assertEqual(self.rpc.SetGen(), "bad parameters")
        self.assertEqual(self.rpc.SetAlias(), "Cannot set null alias")
        self.assertIsInstance(self.rpc.PatternOption(), dict)
        self.assertEqual(self.rpc.MMCAlias(), "")
        self.assertEqual(self.rpc.RescanFormats(), "Ok")

    def test_setgen_ids_and_other_types(self):
        a = self.rpc.SetGen("Colorbars")
        b = self.rpc.SetGen({"Pattern": "Colorbars"})
        self.assertIsInstance(a, int)
        self.assertGreater(a, 0)
        self.assertEqual(b, a + 1)  # one command, one id, in order
        self.assertEqual(self.rpc.SetGen(5), -1)
        self.assertEqual(self.rpc.SetGen([1, 2]), -1)
        self.assertIn("Info: don't know how to display a pattern for type=2\n", server.output())
        self.assertIn("Info: don't know how to display a pattern for type=7\n", server.output())

    def test_struct_members_become_text(self):
        self.rpc.SetGen({"Pattern": "Colorbars", "B": True, "F": False, "D": 0.5, "I": -7,
                         "S": "text", "Arr": [1], "St": {"a": 1}})
        args = wait_for(lambda: (lambda a: a if a.get("S") == "text" else None)(
            current_args(self.rpc)))
        self.assertEqual(args["B"], "true")
        self.assertEqual(args["F"], "false")
        self.assertEqual(args["D"], "0.500000")
        self.assertEqual(args["I"], "-7")
        self.assertNotIn("Arr", args)
        self.assertNotIn("St", args)
        out = server.output()
        self.assertIn("Info: don't know how to translate type=7 for key=Arr\n", out)
        self.assertIn("Info: don't know how to translate type=8 for key=St\n", out)

    def test_cyanide_pill_is_only_an_unknown_option(self):
        self.rpc.SetGen({"CyanidePill": 1})
        self.rpc.SetGen({"Pattern": "Colorbars", "Marker": "after-pill"})
        args = wait_for(lambda: current_args(self.rpc).get("Marker") == "after-pill")
        self.assertTrue(args, "the render thread stopped taking commands")
        self.assertNotIn("Cyanide-", server.output())

    def test_pattern_option(self):
        self.assertEqual(self.rpc.PatternOption("NoSuchPattern"), "error")
        self.assertEqual(self.rpc.PatternOption({"NotPattern": "x"}), "error")
        self.assertEqual(self.rpc.PatternOption({"Pattern": "NoSuchPattern"}), "error")
        for name in self.patterns():
            with self.subTest(pattern=name):
                records = self.rpc.PatternOption(name)
                self.assertEqual(records, self.rpc.PatternOption({"Pattern": name.lower()}))
                if records == "":
                    continue  # a pattern without options
                for r in records:
                    self.assertTrue({"Name", "DataType", "Description"} <= set(r), r)
                    self.assertTrue(all(isinstance(v, str) for v in r.values()))

    def test_gen_options(self):
        records = self.rpc.GetGenOptions()
        self.assertEqual([r["Name"] for r in records[:12]], GEN_OPTIONS)
        settings = records[12]
        self.assertEqual(settings["VideoFormat"], "720p50")
        self.assertEqual(settings["OutputColor"], "YCbCr_10")
        self.assertEqual(len(records), 14)
        by_name = {r["Name"]: r for r in records[:12]}
        self.assertEqual(by_name["BitDepth"]["Value"], "10")
        self.assertEqual(by_name["BlackLevel"]["Value"], "64")
        self.assertEqual(by_name["WhiteLevel"]["Value"], "940")

    def test_set_alias(self):
        self.assertEqual(self.rpc.SetAlias("name"), "bad datatype for alias")
        self.assertEqual(self.rpc.SetAlias({"Pattern": "Colorbars"}), "no name for alias")
        self.assertEqual(self.rpc.SetAlias({"AliasName": "n", "AliasType": "Output"}),
                         "Unsupported AliasType Output")
        self.assertEqual(self.rpc.SetAlias({"AliasName": "cur", "AliasType": "Pattern"}), "cur")
        long_name = "".join(chr(ord("a") + i % 26) for i in range(81))
        self.assertEqual(self.rpc.SetAlias({"AliasName": long_name, "Pattern": "Colorbars"}),
                         long_name[:80])
        # Refusals say so: no such pattern, and an alias of the current
        # pattern while that is itself an alias.
        self.assertEqual(self.rpc.SetAlias({"AliasName": "none", "Pattern": "None"}),
                         ALIAS_REFUSED)
        self.assertEqual(self.rpc.SetAlias({"AliasName": 5, "Pattern": "x"}), ALIAS_REFUSED)
        self.rpc.SetGen({"Pattern": "Raster", "Marker": "alias-current"})
        self.assertTrue(wait_for(lambda: current_args(self.rpc).get("Marker") == "alias-current"))
        self.assertEqual(self.rpc.SetAlias({"AliasName": "cur2", "AliasType": "Pattern"}),
                         ALIAS_REFUSED)
        self.rpc.SetGen("Colorbars")
        listing = self.rpc.PatternOption()
        for refused in ("none", "5", "cur2"):
            self.assertNotIn(refused, listing)
        patterns = self.patterns()
        if not patterns:
            self.skipTest("no pattern registered to alias")
        self.assertEqual(self.rpc.SetAlias({"AliasName": "xmlrpc/test", "Pattern": patterns[0]}),
                         "xmlrpc/test")
        self.assertEqual(self.rpc.PatternOption()["xmlrpc/test"], "Alias/" + patterns[0])

    def test_alias_table_is_bounded(self):
        def flush():
            self.assertEqual(self.rpc.MMCAlias({"Prefix": "bound", "Path": "flush"}),
                             "flushed bound/ aliases")

        blob = "x" * (1024 * 1024)
        try:
            # In bytes: a few 1 MB aliases fit, then the table is full.
            replies = [self.rpc.SetAlias({"AliasName": "bound/%d" % i, "Pattern": "Colorbars",
                                          "Blob": blob}) for i in range(24)]
            self.assertEqual(replies[0], "bound/0")
            self.assertIn(ALIAS_REFUSED, replies)
            self.assertIn("Warning: makeAlias: alias table full", server.output())
            # Flushing frees the room again.
            flush()
            self.assertEqual(self.rpc.SetAlias({"AliasName": "bound/again", "Pattern": "Colorbars",
                                                "Blob": blob}), "bound/again")
            flush()
            # In count.
            # (A multicall holds the server for half a second at most: the
            # calls it did not run are sent again.)
            replies = []
            while len(replies) < 4200:
                multi = xmlrpc.client.MultiCall(self.rpc)
                for i in range(len(replies), 4200):
                    multi.SetAlias({"AliasName": "bound/n%d" % i, "Pattern": "Colorbars"})
                for result in multi().results:
                    if isinstance(result, dict):
                        self.assertIn("not run", result["faultString"])
                        break
                    replies.append(result[0])
            self.assertEqual(replies[0], "bound/n0")
            self.assertEqual(replies[-1], ALIAS_REFUSED)
        finally:
            flush()

    def test_cut_names_stay_valid_utf8(self):
        # Byte 80 falls inside the two-byte "é": the cut drops the whole character.
        name = "a" * 79 + "é" + "b"
        self.assertEqual(self.rpc.SetAlias({"AliasName": name, "Pattern": "Colorbars"}), "a" * 79)
        reply = self.rpc.SetAlias({"AliasName": "n", "AliasType": "ü" * 40})
        self.assertTrue(reply.startswith("Unsupported AliasType ü"))
        self.assertLessEqual(len(reply.encode("utf-8")), 79)
        self.assertEqual(reply, ("Unsupported AliasType " + "ü" * 40)[:len(reply)])

    def test_mmc_alias(self):
        self.assertEqual(self.rpc.MMCAlias({"Prefix": "clip", "Path": "flush"}),
                         "flushed clip/ aliases")
        self.assertEqual(self.rpc.MMCAlias({"Prefix": "", "Path": "flush"}), "invalid arguments")
        self.assertEqual(self.rpc.MMCAlias({"Prefix": "clip"}), "invalid arguments")
        self.assertEqual(self.rpc.MMCAlias("flush"), "flushed mmc aliases")
        self.assertEqual(self.rpc.MMCAlias(5), "")
        with tempfile.TemporaryDirectory() as folder:
            self.assertEqual(self.rpc.MMCAlias(folder), "")
            self.assertEqual(self.rpc.MMCAlias({"Prefix": "clip", "Path": folder}), "")
            self.assertIn("Minutiae: scan folder %s, (prefix clip/) \n" % folder, server.output())
        self.assertIn("Warning: don't know how to set an mmc alias for type=2\n", server.output())

    def test_version_edid_rescan(self):
        version = self.rpc.GetDreskoVersion()
        self.assertIsInstance(version, list)
        self.assertEqual(len(version), 1)
        self.assertEqual(set(version[0]), {"Software", "Gateware", "OS", "Serial", "Application"})
        self.assertEqual(version[0]["Software"], "315M")
        self.assertEqual(version[0]["Gateware"], "MemoryRaster 1.0")
        self.assertEqual(version[0]["Application"], "Application-Version")
        edid = self.rpc.ReadEdid()
        self.assertIsInstance(edid, xmlrpc.client.Binary)
        self.assertEqual(edid.data, bytes([4, 3, 2, 1]))
        self.assertEqual(self.rpc.RescanFormats(), "Ok")


class Faults(ClientTest):
    def assertFault(self, call, text):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            call()
        self.assertIn(text, caught.exception.faultString)
        self.assertEqual(self.rpc.RescanFormats(), "Ok")  # and the server goes on

    def test_type_errors_and_unknown_methods(self):
        self.assertFault(lambda: self.rpc.SetGen({"Log": 5}), "type error")
        self.assertFault(lambda: self.rpc.PatternOption(5), "type error")
        self.assertFault(lambda: self.rpc.PatternOption({"Pattern": 5}), "type error")
        self.assertFault(lambda: self.rpc.MMCAlias({"Prefix": 1, "Path": "flush"}), "type error")
        self.assertFault(lambda: self.rpc.NoSuchMethod(), "unknown method name")

    def test_exception_inside_a_method_is_a_fault(self):
        self.assertFault(lambda: self.rpc.TestThrow(), "TestThrow was called")
        self.assertFault(lambda: self.rpc.TestThrow(1, 2), "TestThrow was called")


class Introspection(ClientTest):
    def test_list_and_help(self):
        rpc = self.rpc
        names = rpc.system.listMethods()
        for n in list(HELP) + ["system.listMethods", "system.methodHelp", "system.multicall"]:
            self.assertIn(n, names)
        for name, text in HELP.items():
            self.assertEqual(rpc.system.methodHelp(name), text)

    def test_multicall(self):
        rpc = self.rpc
        multi = xmlrpc.client.MultiCall(rpc)
        multi.SetGen("Colorbars")
        multi.SetGen("Colorbars")
        multi.SetGen()
        multi.RescanFormats()
        multi.PatternOption("NoSuchPattern")
        multi.system.methodHelp("MMCAlias")
        multi.SetGen({"Log": []})
        results = multi()
        first, second = results[0], results[1]
        self.assertEqual(second, first + 1)
        self.assertEqual(results[2], "bad parameters")
        self.assertEqual(results[3], "Ok")
        self.assertEqual(results[4], "error")
        self.assertEqual(results[5], HELP["MMCAlias"])
        with self.assertRaises(xmlrpc.client.Fault):
            results[6]


class TraceRedirection(ClientTest):
    LINE = b"Info: don't know how to display a pattern for type=2\n"

    def setUp(self):
        super().setUp()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            self.udp.bind((HOST, 5112))
        except OSError as e:
            self.udp.close()
            self.skipTest("UDP port 5112 busy: %s" % e)
        self.udp.settimeout(0.1)

    def tearDown(self):
        self.rpc.SetGen({"Log": "Reset"})
        self.udp.close()
        super().tearDown()

    def datagrams(self, settle=0.3):
        got = []
        deadline = time.monotonic() + settle
        while time.monotonic() < deadline:
            try:
                got.append(self.udp.recv(65536))
            except socket.timeout:
                pass
        return got

    def test_log_to_host_and_back(self):
        self.assertEqual(self.rpc.SetGen({"Log": "Reset"}), "Not Redirected")
        self.assertEqual(self.rpc.SetGen({"Log": HOST}), "Redirected to Net")
        self.assertEqual(self.rpc.SetGen(5), -1)
        self.assertIn(self.LINE, self.datagrams())  # one line, one datagram, byte for byte
        self.assertEqual(self.rpc.SetGen({"Log": "localhost"}), "Redirected to Net")
        self.rpc.SetGen(5)
        self.assertIn(self.LINE, self.datagrams())
        local_before = server.output().count(self.LINE.decode())
        self.assertEqual(self.rpc.SetGen({"Log": "Reset"}), "Redirected to local")
        self.assertEqual(self.rpc.SetGen({"Log": "Reset"}), "Not Redirected")
        self.rpc.SetGen(5)
        self.assertNotIn(self.LINE, self.datagrams())
        self.assertEqual(server.output().count(self.LINE.decode()), local_before + 1)

    def test_log_ignores_the_other_members(self):
        before = self.rpc.SetGen("Colorbars")
        self.assertEqual(self.rpc.SetGen({"Log": HOST, "Pattern": "Colorbars", "Size": "5"}),
                         "Redirected to Net")
        self.assertEqual(self.rpc.SetGen("Colorbars"), before + 1)  # nothing was queued

    def test_unresolvable_host_changes_nothing(self):
        reply = self.rpc.SetGen({"Log": "no-such-host.invalid"})
        self.assertEqual(reply, "Cannot redirect to no-such-host.invalid")
        self.rpc.SetGen(5)
        self.assertNotIn(self.LINE, self.datagrams())
        self.assertEqual(self.rpc.SetGen({"Log": "Reset"}), "Not Redirected")
        # While redirected, a bad host keeps the current redirection.
        self.assertEqual(self.rpc.SetGen({"Log": HOST}), "Redirected to Net")
        self.assertTrue(self.rpc.SetGen({"Log": ""}).startswith("Cannot redirect"))
        self.rpc.SetGen(5)
        self.assertIn(self.LINE, self.datagrams())
        self.assertEqual(self.rpc.SetGen({"Log": "Reset"}), "Redirected to local")


class PortInUse(unittest.TestCase):
    def test_unbindable_port_is_an_error_and_does_not_spin(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as blocker:
            blocker.bind((HOST, 0))
            blocker.listen(1)
            other = Server(port=blocker.getsockname()[1], wait=False)
            try:
                out = wait_for(lambda: "XmlRpc:" in other.output() and other.output(), 30)
                self.assertIn("Error: XmlRpc: cannot listen on port %d\n" % other.port, out)
                self.assertNotIn("listening", out)
                # A spinning server thread burns a whole core; the first
                # render, slow under the sanitizers, may still take some.
                cpu = other.cpu_seconds()
                time.sleep(2.0)
                self.assertLess(other.cpu_seconds() - cpu, 1.2)
                self.assertIsNone(other.proc.poll())  # start-up went on
            finally:
                self.assertEqual(other.finish()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
