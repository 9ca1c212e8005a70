#!/usr/bin/env python3
"""Tests of resources/agent/hex2agent.py (run by CTest, or: python3 -m unittest hex2agent_test in this folder)."""

import os
import sys
import tempfile
import unittest

AGENT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "agent")
sys.path.insert(0, AGENT_DIR)
import hex2agent  # noqa: E402


def checksummed(body):
    """A line of the given bytes plus the checksum that makes it add up."""
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


def record(type_, address, payload=b""):
    """One Intel HEX line with a correct count and checksum."""
    return checksummed(bytes([len(payload), address >> 8, address & 0xFF, type_]) + payload)


EOF = ":00000001FF"


def hexfile(*lines):
    return "\n".join(lines) + "\n"


class ParseTest(unittest.TestCase):
    def test_accepts_data_zero_extended_addresses_and_crlf(self):
        text = "\r\n".join([
            record(0x04, 0, b"\x00\x00"),
            record(0x02, 0, b"\x00\x00"),
            record(0x00, 0x0010, b"\xAA\xBB"),
            EOF]) + "\r\n"
        self.assertEqual(hex2agent.parse_hex(text), {0x10: 0xAA, 0x11: 0xBB})

    def test_rejects_malformed_records(self):
        # Each bad line sits in an otherwise valid file, so that the error
        # can only come from the line itself.
        good = record(0x00, 0, b"\x01\x02\x03")
        cases = {
            "no colon": good[1:],
            "wrong start code": ";" + good[1:],
            "bad checksum": good[:-2] + "00",
            "count too big": checksummed(b"\x04\x00\x00\x00\x01\x02\x03"),
            "count too small": checksummed(b"\x02\x00\x00\x00\x01\x02\x03"),
            "odd digits": good + "0",
            "not hex": good[:5] + "G" + good[6:],
            "too short": ":0000",
            "start address record": record(0x03, 0, b"\x00\x00\x00\x00"),
            "linear start record": record(0x05, 0, b"\x00\x00\x00\x00"),
            "non-zero linear base": record(0x04, 0, b"\x00\x01"),
            "non-zero segment base": record(0x02, 0, b"\x10\x00"),
            "extended record with an address": record(0x04, 0x0010, b"\x00\x00"),
            "past 0xFFFF": record(0x00, 0xFFFF, b"\x01\x02"),
        }
        for name, line in cases.items():
            with self.subTest(name):
                with self.assertRaises(hex2agent.HexError):
                    hex2agent.parse_hex(hexfile(record(0x00, 0x100, b"\x55"), line, EOF))

    def test_rejects_bad_file_structure(self):
        data = record(0x00, 0x100, b"\x01\x02")
        cases = {
            "missing eof": hexfile(data),
            "data after eof": hexfile(data, EOF, record(0x00, 0x200, b"\x03")),
            "eof with data": hexfile(data, record(0x01, 0, b"\x00")),
            "eof with an address": hexfile(data, record(0x01, 0x0100)),
            "overlap": hexfile(data, record(0x00, 0x101, b"\x09"), EOF),
            "no data": hexfile(EOF),
        }
        for name, text in cases.items():
            with self.subTest(name):
                with self.assertRaises(hex2agent.HexError):
                    hex2agent.parse_hex(text)


class RecordsTest(unittest.TestCase):
    def test_coalesces_in_address_order_and_splits_gaps(self):
        memory = hex2agent.parse_hex(hexfile(
            record(0x00, 0x0002, b"\x03\x04"),
            record(0x00, 0x0000, b"\x01\x02"),
            record(0x00, 0x0010, b"\x05"),
            EOF))
        self.assertEqual(hex2agent.to_records(memory),
                         [(0x0000, b"\x01\x02\x03\x04"), (0x0010, b"\x05")])

    def test_splits_runs_at_4096_bytes(self):
        memory = {a: a & 0xFF for a in range(0x100, 0x100 + 4096 + 10)}
        records = hex2agent.to_records(memory)
        self.assertEqual([(a, len(d)) for a, d in records],
                         [(0x100, 4096), (0x1100, 10)])


class RenderTest(unittest.TestCase):
    def test_committed_hex_gives_one_record_and_is_deterministic(self):
        with tempfile.TemporaryDirectory() as tmp:
            outputs = []
            for name in ("a.cpp", "b.cpp"):
                path = os.path.join(tmp, name)
                self.assertEqual(hex2agent.main(
                    ["hex2agent.py", os.path.join(AGENT_DIR, "agent.hex"), path]), 0)
                with open(path) as f:
                    outputs.append(f.read())
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn("{3456, 0x0000, 0, {", outputs[0])
        self.assertIn("{0, 0x0000, 1, {}},", outputs[0])
        self.assertIn("kAgentTableSize = 2;", outputs[0])

    def test_failure_leaves_no_output(self):
        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, "bad.hex")
            with open(bad, "w") as f:
                f.write(hexfile(record(0x00, 0, b"\x01")))  # no EOF record
            out = os.path.join(tmp, "out.cpp")
            saved = sys.stderr
            sys.stderr = open(os.devnull, "w")
            try:
                self.assertEqual(hex2agent.main(["hex2agent.py", bad, out]), 1)
            finally:
                sys.stderr.close()
                sys.stderr = saved
            self.assertEqual(os.listdir(tmp), ["bad.hex"])


if __name__ == "__main__":
    unittest.main()
