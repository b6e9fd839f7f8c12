#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""mtdmac on the flash a box may have, on the virtual box: NOR and NAND of
every page size, bad erase blocks, a block that refuses programs, pages that
no longer read, a partition smaller than the image, a box without
flash_eraseall. One boot runs every scenario; each test checks a group of
them. With --results, the boot's results are kept in (--boot) or read from
that file, so that CTest boots once for all its tests.

    test_flash.py --tool build/mipsel-release/mtdmac [--results FILE [--boot]] [Flash.test_...]
"""

import argparse
import pickle
import random
import re
import sys
import unittest
from pathlib import Path

import model
import vmbox
from scenarios import DERIVED, OTHER, SERIAL_ID, report_problem

TOOL = None
RESULTS = None

# Every geometry a box's partition may have, each with erase blocks past the
# image's 64 KiB.
GEOMETRIES = {
    "nor": vmbox.mtdram(1024, 64),
    "small_pages": vmbox.nandsim(8),
    "large_pages": vmbox.nandsim(2, vmbox.LARGE_PAGES),
    "whole_pages": vmbox.nandsim(2, vmbox.WHOLE_PAGES),
    "pages_4k": vmbox.nandsim(2, vmbox.PAGES_4K),
}
# Geometries that a write-back in 512-byte blocks cannot fill.
NO_SMALL_WRITES = ("whole_pages", "pages_4k")

# The faults are set up on small-page NAND.
PAGE, ERASE_BLOCK = vmbox.NAND_CHIPS[vmbox.SMALL_PAGES]
PAGES_PER_BLOCK = ERASE_BLOCK // PAGE
INNER_PAGE = 2 * PAGES_PER_BLOCK + 5  # inside the third erase block
GRAVE_PAGES = {"grave_block_page": 0, "grave_page": INNER_PAGE}


def plan():
    """The scenarios of the boot. Every partition holds random bytes around
    its block, so that any byte the tool moves, loses or erases shows."""
    rng = random.Random("flash")

    def partition(address, flash):
        block = model.block(address, header=rng.randbytes(12), background=rng.randbytes(148))
        return block + rng.randbytes(flash.size - len(block))

    scenarios = []
    for name, flash in GEOMETRIES.items():
        scenarios += [vmbox.Scenario(name, flash, partition(OTHER, flash), SERIAL_ID),
                      vmbox.Scenario(name + "_again", flash, None, SERIAL_ID)]
    for name in NO_SMALL_WRITES:
        flash = GEOMETRIES[name]
        scenarios.append(vmbox.Scenario(name + "_correct", flash, partition(DERIVED, flash),
                                        SERIAL_ID))
    faults = {
        "bad_first_block": vmbox.nandsim(4, bad=[0]),
        # A bad block refuses programs, as a worn-out block does.
        "bad_block": vmbox.nandsim(4, bad=[1], refusing=[PAGES_PER_BLOCK + 5]),
        "refusing_block": vmbox.nandsim(8, refusing=[INNER_PAGE]),
        "small_partition": vmbox.nandsim(1),
        **{name: vmbox.nandsim(4, grave=[page]) for name, page in GRAVE_PAGES.items()},
    }
    for name, flash in faults.items():
        scenarios.append(vmbox.Scenario(name, flash, partition(OTHER, flash), SERIAL_ID))
    small = vmbox.nandsim(4)
    scenarios.append(vmbox.Scenario("no_flash_eraseall", small, partition(OTHER, small),
                                    SERIAL_ID, missing=("flash_eraseall",)))
    return scenarios


def boot_all():
    """The scenarios and their results, by name."""
    scenarios = {s.name: s for s in plan()}
    results = vmbox.boot(list(scenarios.values()), TOOL, log=lambda m: print(m, file=sys.stderr))
    return scenarios, results


def erase_blocks(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


class Flash(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if RESULTS and Path(RESULTS).exists():
            cls.scenarios, cls.results = pickle.loads(Path(RESULTS).read_bytes())
        else:
            cls.scenarios, cls.results = boot_all()

    def assert_run(self, name, expected, before=None, partition=None, skip=()):
        """The run's report and status are the model's, the partition is
        `partition` but for the erase blocks in skip (by default: the
        partition before the run, with the image the model writes over its
        start), and a run that writes nothing erased nothing. Says every one
        of these that fails."""
        result = self.results[name]
        before = self.scenarios[name].seed if before is None else before
        if partition is None:
            partition = before
            if expected.written is not None:
                partition = (expected.written + before[model.IMAGE_SIZE:])[:len(before)]
        problems = []
        problem = report_problem(result.report.decode("latin-1"), expected)
        if problem:
            problems.append(problem)
        if result.status != str(expected.status):
            problems.append(f"status {result.status}, expected {expected.status}")
        problems += self.partition_problems(name, partition, skip)
        if expected.written is None and result.erases:
            problems.append(f"{result.erases} erase requests although nothing was to be written")
        if problems:
            self.fail(f"{name}:\n" + "\n".join(problems) + "\nstandard error:\n"
                      + result.files["stderr"].decode(errors="replace"))
        return result

    def partition_problems(self, name, expected, skip=()):
        """What differs from the expected partition, but for the erase
        blocks in skip."""
        result = self.results[name]
        size = result.erase_size
        actual = erase_blocks(result.partition, size)
        wanted = erase_blocks(expected, size)
        if len(actual) != len(wanted):
            return [f"{len(actual)} erase blocks, expected {len(wanted)}"]
        wrong = [i for i, (a, b) in enumerate(zip(actual, wanted)) if a != b and i not in skip]
        if not wrong:
            return []
        erased = [i for i in wrong if actual[i] == b"\xff" * size]
        return [f"erase blocks {wrong} of {len(actual)} differ, {erased} of them erased"]

    def assert_no_ecc_failures(self, name):
        result = self.results[name]
        self.assertEqual(result.ecc_failures, 0, f"{name}: " + result.files["kernel"].decode())

    # ------------------------------------------------------------ geometries

    def check_geometry(self, name):
        seed = self.scenarios[name].seed
        first = model.run(seed, SERIAL_ID)
        result = self.assert_run(name, first)
        self.assertGreater(result.erases, 0, f"{name}: rewritten without an erase")
        self.assert_no_ecc_failures(name)
        repaired = first.written + seed[model.IMAGE_SIZE:]
        again = name + "_again"
        self.assert_run(again, model.run(repaired, SERIAL_ID), before=repaired)
        self.assert_no_ecc_failures(again)

    def test_partition_is_repaired_where_512_byte_writes_work(self):
        for name in GEOMETRIES:
            if name not in NO_SMALL_WRITES:
                with self.subTest(name):
                    self.check_geometry(name)

    def test_partition_is_repaired_on_nand_of_whole_2k_or_4k_pages(self):
        for name in NO_SMALL_WRITES:
            with self.subTest(name):
                facts = self.results[name].facts
                self.assertGreater(int(facts["subpagesize"]), 512, facts)
                self.check_geometry(name)

    def test_correct_block_on_large_page_nand_is_left_alone(self):
        for name in NO_SMALL_WRITES:
            with self.subTest(name):
                self.assert_run(name + "_correct",
                                model.run(self.scenarios[name + "_correct"].seed, SERIAL_ID))

    # ---------------------------------------------------------------- faults

    def assert_bad_blocks(self, name, blocks):
        """The scenario's fault is in place: the driver calls these erase
        blocks bad, and only these."""
        result = self.results[name]
        self.assertEqual(int(result.facts["bad_blocks"]), len(blocks), result.facts)
        table = result.files["eraseblocks"].decode()
        self.assertEqual(re.findall(r"(\d+): [0-9a-f]+ +BAD", table), [str(b) for b in blocks],
                         table)

    def test_bad_first_block_is_refused_before_anything_is_erased(self):
        name = "bad_first_block"
        self.assert_bad_blocks(name, [0])
        self.assert_run(name, model.run(self.scenarios[name].seed, SERIAL_ID, refused=True))

    def test_bad_block_past_the_first_is_skipped(self):
        # Its pages refuse programs: writing through it would fail.
        name = "bad_block"
        self.assert_bad_blocks(name, [1])
        result = self.assert_run(name, model.run(self.scenarios[name].seed, SERIAL_ID))
        self.assertNotIn(b"simulating write failure", result.files["kernel"])
        self.assert_no_ecc_failures(name)

    def test_block_refusing_programs_loses_only_itself(self):
        name = "refusing_block"
        expected = model.run(self.scenarios[name].seed, SERIAL_ID,
                             failed=("writing",))
        self.assert_bad_blocks(name, [])
        self.assertIn(b"simulating write failure", self.results[name].files["kernel"])
        self.assert_run(name, expected, skip=[INNER_PAGE // PAGES_PER_BLOCK])

    def test_dump_with_uncorrectable_pages_is_never_flashed(self):
        for name, page in GRAVE_PAGES.items():
            with self.subTest(name):
                result = self.results[name]
                self.assertGreater(int(result.facts["run_ecc_failures"]), 0, result.facts)
                grave = slice(page * PAGE, (page + 1) * PAGE)
                # What the dump read of the grave page: random bytes.
                dumped = bytearray(self.scenarios[name].seed)
                dumped[grave] = result.files["working_file"][grave]
                partition = bytearray(self.scenarios[name].seed)
                partition[grave] = result.partition[grave]  # reads random bytes too
                self.assert_run(name, model.run(bytes(dumped), SERIAL_ID, dump_failed=True),
                                partition=bytes(partition))

    def test_partition_smaller_than_the_image_is_rewritten_without_a_false_failure(self):
        name = "small_partition"
        self.assertEqual(self.results[name].size, 16 * 1024)
        result = self.assert_run(name, model.run(self.scenarios[name].seed, SERIAL_ID))
        self.assertGreater(result.erases, 0)

    def test_without_flash_eraseall_nothing_unerased_is_written(self):
        # No erase block reads erased: the flash stays as it was.
        name = "no_flash_eraseall"
        result = self.assert_run(name, model.run(self.scenarios[name].seed, SERIAL_ID,
                                                 failed=("erasing",)),
                                 partition=self.scenarios[name].seed)
        self.assertIn(b"not found", result.files["stderr"])
        self.assertEqual(result.erases, 0)


def main():
    global TOOL, RESULTS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True, help="the mipsel mtdmac binary")
    parser.add_argument("--results", help="file of the boot's results")
    parser.add_argument("--boot", action="store_true",
                        help="boot, keep the results in --results and test nothing")
    args, rest = parser.parse_known_args()
    TOOL, RESULTS = args.tool, args.results
    if args.boot:
        if not RESULTS:
            parser.error("--boot needs --results")
        Path(RESULTS).unlink(missing_ok=True)
        Path(RESULTS).write_bytes(pickle.dumps(boot_all()))
        return 0
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
