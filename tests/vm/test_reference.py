#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The virtual box's expectations are only as good as its reference: checks
it against values the block and report formats fix by themselves."""

import unittest

import expected as ref
import model


class Reference(unittest.TestCase):
    def test_rewrite_of_the_documented_example(self):
        partition = model.block([bytes.fromhex("001122334455")] * 8) + b"\xff" * (0x10000 - 148)
        report, status, after = ref.expected_run(partition, b"0012abcd\n")
        text = "".join(p for p in report if p is not ref.COMMANDS)
        self.assertIn("serialid = 0012abcd\n\nserialid = 12abcd, 1223629\n"
                      "PROC MAC - 02:C4:7A:12:AB:CD\n", text)
        self.assertEqual((status, report[-1]), (0, ref.COMMANDS))
        self.assertEqual(model.entry(after, 3), bytes.fromhex("02c47a12abcd"))
        self.assertEqual(after[140], after[141])
        self.assertEqual(after[140], model.checksum(after))

    def test_report_matching(self):
        expected = [ref.COMMANDS, "A\n", ref.COMMANDS]
        self.assertIsNone(ref.match_report("A\nErasing 64 Kibyte\n", expected))
        self.assertIsNotNone(ref.match_report("B\n", expected))
        self.assertIsNotNone(ref.match_report("A\nerasing /dev/mtd3 failed!\n", expected))


if __name__ == "__main__":
    unittest.main()
