"""Hostile but well-typed SetGen requests for every pattern and alias: option
values out of every range (huge, negative, overflowing, NaN, infinite,
denormal, unknown names, long texts, paths leading out of folders) mixed with
generator-option changes. The server must process all of them in order, keep
answering, and end cleanly (under the sanitizers a report makes the exit status
non-zero). Seeded and bounded in count and in time."""

import os
import random
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kbxmlrpc import Server, wait_for  # noqa: E402

# KB_HOSTILE_SEED overrides the seed to explore other request sequences.
SEED = int(os.environ.get("KB_HOSTILE_SEED", "0x6B62"), 0)
MAX_REQUESTS = 600
SEND_SECONDS = 20.0   # no new rounds after this; the first round always completes
AHEAD = 6             # commands queued ahead of the engine at most
DRAIN_SECONDS = 60.0

INTEGERS = ["2147483648", "-2147483649", "99999999999999999999", "0x7fffffff", "-0", "",
            "2147483647", "-2147483648", "4294967295", "-1", "0x80000000", "077777777777", "12abc"]
DOUBLES = ["nan", "inf", "-inf", "1e308", "-1e308", "1e-320", "-nan", "", "0", "-0"]
ENUMS = ["NoSuchValue", "", "toggle", "TOGGLE", " ", "0", "-1"]
COMPONENTS = ["4294967295", "4294967296", "-1", "-2147483648", "2147483648", "65535", "1024",
              "99999999999999999999", "", "0x7fffffff"]
BOOLEANS = ["toggle", "true", "false", "", "yes", "2"]
STRINGS = ["x" * 4096, "/", "..", ".", "../../etc/passwd", "/etc/passwd", "", "%s%n%d" * 50,
           "a/../../b", "é" * 1500]
# Keys some renderers read without publishing them (image sets, backgrounds,
# titles), with hostile texts of their own.
EXTRA_KEYS = {
    "Title": STRINGS,
    "Bg": STRINGS,
    "Name": STRINGS,
    "Folder": STRINGS,
    "r0-f0": STRINGS,
    "r0-f1": STRINGS,
    # Frame counts stay small: the pattern's own bound (1000 frames) would have
    # the memory raster hold gigabytes at 1080 lines. Numbers read as their low
    # 32 bits, so "-2147483649" would count 2147483647 frames.
    "nF0": ["-1", "0", "-2147483648", "", "abc", "3", "4294967297", "99999999999999999999"],
    "nVres": INTEGERS,
    "vres0": INTEGERS,
    "vres1": INTEGERS,
}

MARK = "HostileSeq"


def text_values(record):
    kind = record["DataType"]
    if kind == "Integer":
        return INTEGERS
    if kind == "Double":
        return DOUBLES
    if kind == "Enumeration":
        n = int(record.get("nVal", "0"))
        return ENUMS + [record["%s%d" % (record["Name"], i)] for i in range(n)]
    if kind == "Boolean":
        return BOOLEANS
    if kind == "String":
        return STRINGS
    if kind == "RoInteger":
        return INTEGERS  # never read from requests; sent all the same
    return None


class Cycler:
    """Hands out the values of each key in a seeded order, every value once
    before any repeats, so few requests per pattern still cover them all."""

    def __init__(self, rng):
        self.rng = rng
        self.pending = {}

    def next(self, key, values):
        queue = self.pending.get(key)
        if not queue:
            queue = list(values)
            self.rng.shuffle(queue)
            self.pending[key] = queue
        return queue.pop()


def hostile_members(rng, cycler, pattern, records, extra):
    """One request's option members: every option (most of the time) with a
    hostile value of its type."""
    members = {}
    for r in records:
        if rng.random() < 0.2:
            continue  # absent: the default applies
        name = r["Name"]
        if r["DataType"] == "RGB":
            for c in ("_Red", "_Green", "_Blue"):
                members[name + c] = cycler.next((pattern, name + c), COMPONENTS)
        else:
            values = text_values(r)
            if values is not None:
                members[name] = cycler.next((pattern, name), values)
    for key, values in extra.items():
        if rng.random() < 0.3:
            members[key] = cycler.next((pattern, key), values)
    return members


class Hostile(unittest.TestCase):
    def test_hostile_setgen(self):
        server = Server()
        try:
            self.run_hostile(server)
        finally:
            status, out = server.finish()
            if os.environ.get("KB_HOSTILE_LOG"):  # keeps the server's trace to study
                with open(os.environ["KB_HOSTILE_LOG"], "w") as f:
                    f.write(out)
            self.assertEqual(status, 0, out[-4000:])
        for report in ("runtime error:", "AddressSanitizer", "ThreadSanitizer"):
            self.assertNotIn(report, out, out[-4000:])

    def run_hostile(self, server):
        rng = random.Random(SEED)
        cycler = Cycler(rng)
        rpc = server.proxy()
        listing = rpc.PatternOption()
        patterns = sorted(k for k, v in listing.items() if not v.startswith("Alias/"))
        names = sorted(listing)
        records = {p: rpc.PatternOption(p) or [] for p in patterns}
        base = {n: listing[n][len("Alias/"):] if n not in records else n for n in names}
        for alias in names:
            if alias not in records:
                records[alias] = records.get(base[alias], [])
        gen = {r["Name"]: r for r in rpc.GetGenOptions()[:-2]}
        gen_names = {r["Name"] for r in gen.values()}
        output_colors = [gen["OutputColor"]["OutputColor%d" % i]
                         for i in range(int(gen["OutputColor"]["nVal"]))]
        encodings = [gen["ColorEncoding"]["ColorEncoding%d" % i]
                     for i in range(int(gen["ColorEncoding"]["nVal"]))]
        formats = [gen["VideoFormat"]["VideoFormat%d" % i]
                   for i in range(int(gen["VideoFormat"]["nVal"]))]
        gen_values = {
            "VideoFormat": ["NoSuchFormat", "toggle", ""] + formats,
            "OutputColor": output_colors + ["NoSuchColor", "toggle", ""],
            "ColorEncoding": encodings + ["NoSuchMatrix", "toggle", ""],
            "VideoMute": ["toggle", "false"],
            "GateRed": ["toggle", "false"],
            "GateGreen": ["toggle", "false"],
            "GateBlue": ["toggle", "false"],
            "OutputTitling": ["toggle", "true", "false"],
            "GatingColor": COMPONENTS,  # all three components at once
            "BitDepth": INTEGERS,
        }

        # Every pattern at every output colour with titling on, then rounds
        # over every pattern and alias with hostile values.
        plan = [{"Pattern": p, "OutputColor": c, "OutputTitling": "true", "VideoMute": "false"}
                for p in patterns for c in output_colors]
        # Pattern names and keys that name nothing.
        plan += [{"Pattern": s} for s in STRINGS] + [
            {"Pattern": "Colorbars", "": "x", "x" * 4096: "y", "Pattern_Red": "1"}]
        sent = []  # (id, members)
        processed = [0]  # the sequence number last seen current
        tracked = [0]  # the last request whose members become current

        def current_seq():
            args = rpc.GetGenOptions()[-1]
            return int(args.get(MARK, "-1")), args

        def send(members):
            members[MARK] = str(len(sent))
            ident = rpc.SetGen(members)
            self.assertIsInstance(ident, int, members)
            if sent:
                self.assertEqual(ident, sent[-1][0] + 1)
            sent.append((ident, members))
            # A name that is no pattern changes no arguments: its mark never
            # becomes current.
            if members.get("Pattern") in names:
                tracked[0] = len(sent) - 1
            # Keep the queue short so the drain at the end is too, however
            # slow the build renders.
            while tracked[0] - processed[0] > AHEAD:
                processed[0] = max(processed[0], current_seq()[0])
                time.sleep(0.01)

        start = time.monotonic()
        for members in plan:
            send(members)
        first = True
        while len(sent) < MAX_REQUESTS and (first or time.monotonic() - start < SEND_SECONDS):
            for name in names:
                members = {"Pattern": name}
                members.update(hostile_members(rng, cycler, base[name], records[name],
                                               EXTRA_KEYS))
                for _ in range(rng.choice([0, 0, 1, 2])):
                    key = rng.choice(sorted(gen_values))
                    if key == "GatingColor":
                        for c in ("_Red", "_Green", "_Blue"):
                            members[key + c] = rng.choice(COMPONENTS)
                    else:
                        members[key] = rng.choice(gen_values[key])
                send(members)
                if not first and (len(sent) >= MAX_REQUESTS or
                                  time.monotonic() - start >= SEND_SECONDS):
                    break
            first = False
        self.assertGreaterEqual(len(sent), len(plan) + len(names))

        # The engine works through the queue in order: the last request's
        # members become current, the ones the engine does not rewrite as sent.
        last = len(sent) - 1
        print("%d requests sent in %.1f s" % (len(sent), time.monotonic() - start), file=sys.stderr)
        args = wait_for(lambda: (lambda s: s[1] if s[0] == last else None)(current_seq()),
                        timeout=DRAIN_SECONDS)
        self.assertTrue(args, "the engine did not reach the last command (%d of %d)" %
                        (current_seq()[0], last))
        for key, value in sent[-1][1].items():
            base = key.split("_")[0]
            if key not in gen_names and base not in gen_names:
                self.assertEqual(args.get(key), value, key)
        # The generator's settings are still values it offers.
        settings = rpc.GetGenOptions()[-2]
        self.assertIn(settings["VideoFormat"], formats)
        self.assertIn(settings["OutputColor"], output_colors)
        self.assertIn(settings["ColorEncoding"], encodings)
        for key in ("VideoMute", "GateRed", "GateGreen", "GateBlue", "OutputTitling"):
            self.assertIn(settings[key], ("0", "1"), key)
        self.assertEqual(rpc.RescanFormats(), "Ok")
        self.assertEqual(rpc.SetGen({"Pattern": "Colorbars"}), sent[-1][0] + 1)
        rpc("close")()


if __name__ == "__main__":
    unittest.main(verbosity=2)
