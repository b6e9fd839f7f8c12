#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The mipsel mtdmac on the virtual box (a real MIPS Linux under QEMU), on one
flash type: every scenario but the repair after the power cut runs in one
boot; the power cut ends that boot and a second boot repairs the partition.
AtBoot boots the box through busybox init and the init script of dist/.

    test_vm.py --tool build/mipsel-release/mtdmac --flash nandsim [VirtualBox|AtBoot]
"""

import argparse
import difflib
import random
import sys
import unittest
from pathlib import Path

import expected as ref
import model
import vmbox

TOOL = None
FLASH = None
INIT_SCRIPT = Path(__file__).resolve().parents[2] / "dist" / "sysvinit" / "mtdmac"

BOX_SERIAL = b"0012abcd\n"
BOX_MAC = bytes.fromhex("02c47a12abcd")
OTHER_MAC = bytes.fromhex("001122334455")


def flash(large=False):
    """The partition: 64 KiB, or 192 KiB for the scenarios with a tail."""
    if FLASH == "mtdram":
        return vmbox.mtdram(192 if large else 64, 64)
    return vmbox.nandsim(12 if large else 4)


def plan():
    """The scenarios of the first boot; each has a partition full of random
    bytes around its block, so that any byte the tool moves shows."""
    rng = random.Random(FLASH)

    def partition(blk, size):
        return blk + rng.randbytes(size - len(blk))

    def good(address):
        others = [bytes([0x02, 0xC4, 0x7A, i, i, i]) for i in range(8)]
        others[model.REFERENCE_ENTRY] = address
        return model.block(others, header=rng.randbytes(12), background=rng.randbytes(148))

    small, large = flash(), flash(large=True)
    bad = bytearray(good(OTHER_MAC))
    bad[model.CHECKSUM_AT] ^= 0x01
    return [
        vmbox.Scenario("correct_block", small, partition(good(BOX_MAC), small.size), BOX_SERIAL),
        vmbox.Scenario("other_address", small, partition(good(OTHER_MAC), small.size),
                       b"1a2b3c4d\n"),
        vmbox.Scenario("corrupt_block", small, partition(bytes(bad), small.size), BOX_SERIAL),
        vmbox.Scenario("erased_partition", small, b"\xff" * small.size, b"00fe01ff\n"),
        vmbox.Scenario("large_other_address", large, partition(good(OTHER_MAC), large.size),
                       BOX_SERIAL),
        vmbox.Scenario("large_corrupt_block", large, partition(bytes(bad), large.size),
                       BOX_SERIAL),
        vmbox.Scenario("missing_serial_id", small, partition(good(OTHER_MAC), small.size), None),
        vmbox.Scenario("empty_serial_id", small, partition(good(OTHER_MAC), small.size), b""),
        vmbox.Scenario("planted_symlink", small, partition(good(OTHER_MAC), small.size),
                       BOX_SERIAL, plant="symlink"),
        vmbox.Scenario("planted_hardlink", small, partition(good(OTHER_MAC), small.size),
                       BOX_SERIAL, plant="hardlink"),
        vmbox.Scenario("three_at_once", small, partition(good(OTHER_MAC), small.size),
                       BOX_SERIAL, copies=3),
        vmbox.Scenario("power_cut", small, partition(good(OTHER_MAC), small.size), BOX_SERIAL,
                       power_cut=True),
    ]


def log(message):
    print(message, file=sys.stderr)


class VmTest(unittest.TestCase):
    def assert_report(self, result, expected, file="report"):
        actual = result.files[file].decode("latin-1")
        problem = ref.match_report(actual, expected)
        if problem:
            shown = "".join("<commands' output>\n" if p is ref.COMMANDS else p for p in expected)
            diff = "".join(difflib.unified_diff(shown.splitlines(True), actual.splitlines(True),
                                                "expected", "actual"))
            self.fail(f"{result.name}: {problem}\n{diff}")

    def assert_partition(self, result, expected):
        actual = result.partition
        if actual != expected:
            wrong = [i for i in range(min(len(actual), len(expected))) if actual[i] != expected[i]]
            self.fail(f"{result.name}: partition of {len(actual)} bytes, expected {len(expected)};"
                      f" {len(wrong)} bytes differ, the first at {wrong[:1]}: "
                      f"{actual[wrong[0]:wrong[0] + 8].hex() if wrong else ''} instead of "
                      f"{expected[wrong[0]:wrong[0] + 8].hex() if wrong else ''}")


class VirtualBox(VmTest):
    @classmethod
    def setUpClass(cls):
        cls.scenarios = {s.name: s for s in plan()}
        cls.results = vmbox.boot(list(cls.scenarios.values()), TOOL, log=log)
        cut = cls.scenarios["power_cut"]
        # The flash keeps what the erase left; RAM and /tmp are lost.
        repair = vmbox.Scenario("after_power_cut", cut.flash,
                                cls.results["power_cut"].partition, cut.serial_id)
        cls.scenarios[repair.name] = repair
        cls.results.update(vmbox.boot([repair], TOOL, log=log))

    def assert_run(self, name):
        """The run's report, status and partition are the expected ones, it
        erased only when it rewrote, and reading the partition back met no
        ECC failure."""
        scenario, result = self.scenarios[name], self.results[name]
        report, status, after = ref.expected_run(scenario.seed, scenario.serial_id)
        self.assertEqual(result.size, scenario.flash.size)
        self.assert_report(result, report)
        self.assertEqual(result.status, str(status), result.files["stderr"])
        self.assert_partition(result, after)
        if report[-1] is ref.COMMANDS:
            self.assertGreater(result.erases, 0, "rewritten without an erase")
        else:
            self.assertEqual(result.erases, 0, "erased although nothing was to be written")
        self.assertEqual(result.ecc_failures, 0, result.files["kernel"])
        return result

    def test_correct_block_is_left_untouched(self):
        result = self.assert_run("correct_block")
        self.assertEqual(result.partition, self.scenarios["correct_block"].seed)

    def test_good_block_with_another_address_is_rewritten(self):
        result = self.assert_run("other_address")
        image = result.partition
        self.assertEqual(model.checksum(image), image[model.CHECKSUM_AT])
        self.assertEqual(model.entry(image, 3), bytes.fromhex("02c47a2b3c4d"))

    def test_corrupt_block_becomes_the_template_with_the_box_address(self):
        image = self.assert_run("corrupt_block").partition
        self.assertEqual(image[:12], model.HEADER)
        self.assertEqual(image[model.BLOCK_SIZE:], b"\xff" * (len(image) - model.BLOCK_SIZE))

    def test_erased_partition_gets_a_block(self):
        self.assert_run("erased_partition")

    def test_tail_past_64_kib_survives_a_rewrite(self):
        for name in ("large_other_address", "large_corrupt_block"):
            with self.subTest(name):
                result = self.assert_run(name)
                tail = slice(model.IMAGE_SIZE, None)
                self.assertEqual(result.partition[tail], self.scenarios[name].seed[tail])

    def test_missing_or_empty_serial_id_writes_nothing(self):
        for name in ("missing_serial_id", "empty_serial_id"):
            with self.subTest(name):
                result = self.assert_run(name)
                self.assertEqual(result.partition, self.scenarios[name].seed)

    def test_link_planted_by_another_user_is_not_followed(self):
        for name in ("planted_symlink", "planted_hardlink"):
            with self.subTest(name):
                result = self.assert_run(name)
                self.assertEqual(result.files["victim"], vmbox.VICTIM)

    def test_tools_started_at_once_rewrite_once(self):
        # One rewrites; the others wait for it and then find nothing to do.
        scenario, result = self.scenarios["three_at_once"], self.results["three_at_once"]
        rewrite, _, after = ref.expected_run(scenario.seed, scenario.serial_id)
        no_write, _, _ = ref.expected_run(after, scenario.serial_id)
        reports = ["report", "report.1", "report.2"]
        rewrote = [r for r in reports if b"New MAC Par" in result.files[r]]
        self.assertEqual(len(rewrote), 1, result.status)
        for report in reports:
            self.assert_report(result, rewrite if report in rewrote else no_write, report)
        self.assertEqual(result.status, "0 0 0")
        self.assert_partition(result, after)
        self.assertEqual(result.erases, self.results["other_address"].erases)
        self.assertEqual(result.ecc_failures, 0, result.files["kernel"])

    def test_power_cut_between_erase_and_write_is_repaired_next_boot(self):
        scenario, cut = self.scenarios["power_cut"], self.results["power_cut"]
        report, _, _ = ref.expected_run(scenario.seed, scenario.serial_id)
        self.assertEqual(cut.status, "cut")
        self.assert_report(cut, report)
        self.assertGreater(cut.erases, 0)
        self.assert_partition(cut, b"\xff" * scenario.flash.size)
        result = self.assert_run("after_power_cut")


class AtBoot(VmTest):
    def test_init_script_fixes_the_block_before_the_boot_ends(self):
        # busybox init runs the box's rcS, which starts the installed script;
        # the partition is read back once rcS has ended.
        small = flash()
        seed = {s.name: s for s in plan()}["other_address"].seed
        scenario = vmbox.Scenario("at_boot", small, seed, BOX_SERIAL)
        result = vmbox.boot([scenario], TOOL, log=log, init_script=INIT_SCRIPT)["at_boot"]
        report, status, after = ref.expected_run(seed, BOX_SERIAL)
        self.assertEqual((status, report[-1]), (0, ref.COMMANDS), "not a rewrite")
        self.assert_report(result, report)
        self.assert_partition(result, after)
        self.assertGreater(result.erases, 0)


def main():
    global TOOL, FLASH
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True, help="the mipsel mtdmac binary")
    parser.add_argument("--flash", required=True, choices=sorted(vmbox.FLASH_TYPES))
    args, rest = parser.parse_known_args()
    TOOL, FLASH = args.tool, args.flash
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
