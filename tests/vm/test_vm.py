#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The mipsel mtdmac on the virtual box (a real MIPS Linux under QEMU), on one
flash type. One boot runs the scenarios both boxes share (box/sim/scenarios.py),
whose results must be the model's here as well, with the erase requests and
ECC failures only a real flash driver shows; then what only this box does:
another user's links under a kernel's own rules, tools at once on one MTD
device, and a power cut after the erase that ends the boot, repaired by the
next one. AtBoot boots the box through busybox init and the init script of
dist/.

    test_vm.py --tool build/mipsel-release/mtdmac --flash nandsim [VirtualBox|AtBoot]
"""

import argparse
import sys
import unittest
from pathlib import Path

import model
import scenarios
import vmbox
from scenarios import OTHER, SERIAL_ID, SIZE

TOOL = None
FLASH = None
INIT_SCRIPT = Path(__file__).resolve().parents[2] / "dist" / "sysvinit" / "mtdmac"


def flash(size):
    if FLASH == "mtdram":
        return vmbox.mtdram(size // 1024, 64)
    return vmbox.nandsim(size // vmbox.NAND_ERASE)


def box_scenario(name, partition, serial_id=SERIAL_ID, **options):
    return vmbox.Scenario(name, flash(len(partition)), partition, serial_id, **options)


def log(message):
    print(message, file=sys.stderr)


class VmTest(unittest.TestCase):
    def assert_run(self, result, expected, partition, status=None):
        """The run printed the model's report, ended with its status (or
        `status`) and left `partition`; it erased only when it rewrote, and
        reading the partition back met no ECC failure."""
        problem = scenarios.report_problem(result.report.decode("latin-1"), expected)
        if problem:
            self.fail(f"{result.name}: {problem}")
        self.assertEqual(result.status, status or str(expected.status), result.files["stderr"])
        self.assertEqual(result.size, len(partition))
        if result.partition != partition:
            wrong = [i for i, (a, b) in enumerate(zip(result.partition, partition)) if a != b]
            self.fail(f"{result.name}: {len(wrong)} bytes differ, the first at {wrong[:1]}")
        if expected.written is None:
            self.assertEqual(result.erases, 0, "erased although nothing was to be written")
        else:
            self.assertGreater(result.erases, 0, "rewritten without an erase")
        self.assertEqual(result.ecc_failures, 0, result.files["kernel"])


class VirtualBox(VmTest):
    @classmethod
    def setUpClass(cls):
        other = model.partition(OTHER, SIZE)
        own = [box_scenario("planted_symlink", other, plant="symlink"),
               box_scenario("planted_hardlink", other, plant="hardlink"),
               box_scenario("three_at_once", other, copies=3),
               box_scenario("power_cut", other, power_cut=True)]
        shared = [box_scenario(s.name, s.partition, s.serial_id) for s in scenarios.SCENARIOS]
        cls.results = vmbox.boot(shared + own, TOOL, log=log)
        # The flash keeps what the erase left; RAM and /tmp are lost.
        repair = box_scenario("after_power_cut", cls.results["power_cut"].partition)
        cls.results.update(vmbox.boot([repair], TOOL, log=log))

    def test_scenarios_of_both_boxes(self):
        for scenario in scenarios.SCENARIOS:
            with self.subTest(scenario.name):
                self.assert_run(self.results[scenario.name],
                                *scenarios.after(scenario.partition, scenario.serial_id))

    def test_link_planted_by_another_user_is_not_followed(self):
        for name in ("planted_symlink", "planted_hardlink"):
            with self.subTest(name):
                self.assert_run(self.results[name], *scenarios.after(model.partition(OTHER, SIZE)))
                self.assertEqual(self.results[name].files["victim"], vmbox.VICTIM)

    def test_tools_started_at_once_rewrite_once(self):
        # One rewrites; the others wait for it and then find nothing to do.
        result = self.results["three_at_once"]
        rewrite, after = scenarios.after(model.partition(OTHER, SIZE))
        no_write = model.run(after, SERIAL_ID)
        reports = ["report", "report.1", "report.2"]
        rewrote = [r for r in reports if b"New MAC Par" in result.files[r]]
        self.assertEqual(len(rewrote), 1, result.status)
        for report in reports:
            problem = scenarios.report_problem(result.files[report].decode("latin-1"),
                                               rewrite if report in rewrote else no_write)
            self.assertIsNone(problem, f"{report}: {problem}")
        self.assertEqual(result.status, "0 0 0")
        self.assertEqual(result.partition, after)
        self.assertEqual(result.erases, self.results["other_address"].erases)
        self.assertEqual(result.ecc_failures, 0, result.files["kernel"])

    def test_power_cut_between_erase_and_write_is_repaired_next_boot(self):
        cut = self.results["power_cut"]
        rewrite, _ = scenarios.after(model.partition(OTHER, SIZE))
        self.assertEqual(cut.status, "cut")
        problem = scenarios.report_problem(cut.report.decode("latin-1"), rewrite)
        self.assertIsNone(problem, problem)
        self.assertGreater(cut.erases, 0)
        self.assertEqual(cut.partition, b"\xff" * SIZE)
        self.assert_run(self.results["after_power_cut"], *scenarios.after(cut.partition))


class AtBoot(VmTest):
    def test_init_script_fixes_the_block_before_the_boot_ends(self):
        # busybox init runs the box's rcS, which starts the installed script;
        # the partition is read back once rcS has ended.
        partition = model.partition(OTHER, SIZE)
        result = vmbox.boot([box_scenario("at_boot", partition)], TOOL, log=log,
                            init_script=INIT_SCRIPT)["at_boot"]
        expected, after = scenarios.after(partition)
        self.assertIsNotNone(expected.written)
        self.assert_run(result, expected, after, status="boot")


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
