#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The installed mtdmac on the simulated box, from the partition's first dump
to its write-back: the scenarios both boxes run (box/sim/scenarios.py), then
what only this box can do to the tool. Expected reports come from the model
(box/sim/model.py).

    e2e_test.py --binary PREFIX/sbin/mtdmac [--emulator="qemu-mipsel -L ..."] [--version X.Y.Z]
                [TestClass ...]
"""

import argparse
import os
import shlex
import sys
import unittest

import model
import scenarios
import simbox
from model import DUMP, ERASE, WRITE_BACK
from scenarios import DERIVED, OTHER, SERIAL_ID, SIZE

BINARY = None
EMULATOR = []
VERSION = None

REWRITE_COMMANDS = [(DUMP, 0), (ERASE, 0), (WRITE_BACK, 0)]

# Bytes of the write-back after which the power goes. The one build that
# runs --every-power-cut tries the start, the last byte summed, the checksum
# and its copy, the block's end, past it and the image's last byte.
POWER_CUTS = [100]
EVERY_POWER_CUT = [0, 1, 139, 140, 141, 147, 148, 512, 4096, SIZE - 1]


def partition(mac, size=SIZE):
    return model.partition(mac, size)


def flashed(size, working):
    """The partition after a good erase and a write-back of `working`."""
    return working[:size] + b"\xff" * max(0, size - len(working))


class BoxTest(unittest.TestCase):
    maxDiff = None

    def run_box(self, box, **options):
        return box.run(BINARY, wrapper=EMULATOR, **options)

    def assert_report(self, run, stdout, status=0):
        self.assertEqual(run.stdout.decode("latin-1"), stdout.decode("latin-1"))
        # Under valgrind, its findings are on standard error.
        self.assertEqual(run.status, status, run.stderr.decode("latin-1"))

    def rewrite(self, data, serial=SERIAL_ID, **options):
        """Runs on a box holding data and checks a complete rewrite."""
        box = simbox.Box(partition=data, serial_id=serial)
        run = self.run_box(box, **options)
        self.assert_rewrite(run, data, serial)
        return box, run

    def assert_rewrite(self, run, data, serial=SERIAL_ID):
        expected = model.run(data, serial)
        self.assertIsNotNone(expected.written)
        self.assert_report(run, expected.stdout + simbox.erase_progress_line(len(data)))
        self.assertEqual(run.commands, REWRITE_COMMANDS)
        working = expected.written + data[SIZE:]
        self.assertEqual(run.working_file, working)
        self.assertEqual(run.partition, flashed(len(data), working))
        self.assertNotIn(b"error", run.stderr)

    def assert_left_alone(self, run, data, serial=SERIAL_ID):
        """The run wrote nothing: the block holds the derived address, or there is none."""
        expected = model.run(data, serial)
        self.assertIsNone(expected.written)
        self.assert_report(run, expected.stdout, expected.status)
        self.assertEqual(run.commands, [(DUMP, 0)])
        self.assertEqual(run.partition, data)
        self.assertEqual(run.working_file, data)


class ImageCheckTest(BoxTest):
    def test_scenarios_of_both_boxes(self):
        for scenario in scenarios.SCENARIOS:
            with self.subTest(scenario.name):
                data, serial = scenario.partition, scenario.serial_id
                run = self.run_box(simbox.Box(partition=data, serial_id=serial))
                if model.run(data, serial).written is None:
                    self.assert_left_alone(run, data, serial)
                else:
                    self.assert_rewrite(run, data, serial)

    def test_other_address_is_rewritten_once(self):
        box, first = self.rewrite(partition(OTHER))
        self.assert_left_alone(self.run_box(box), first.partition)

    def test_partition_sizes(self):
        for size in (0, 139):
            with self.subTest(size=size):
                data = partition(OTHER, size)
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID))
                self.assert_report(run, f"reading /tmp/mac.bin failed!(140 > {size})\n".encode(),
                                   254)
                self.assertEqual(run.commands, [(DUMP, 0)])
                self.assertEqual(run.partition, data)
        with self.subTest("no partition"):
            run = self.run_box(simbox.Box(partition=None, serial_id=SERIAL_ID))
            self.assert_report(run, b"making /tmp/mac.bin failed!\n", 255)
            self.assertEqual(run.commands, [(DUMP, 1)])
            self.assertIn(b"failed to open '/dev/mtd3'", run.stderr)
            self.assertIsNone(run.partition)
        with self.subTest(size=140):
            # The write-back of the 65,536-byte image ends at the partition's end.
            data = partition(OTHER, 140)
            run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID))
            expected = model.run(data, SERIAL_ID)
            self.assert_report(run, expected.stdout + simbox.erase_progress_line(140) +
                               b"writing /dev/mtd3 failed!\n", 1)
            self.assertEqual(run.commands, [(DUMP, 0), (ERASE, 0), (WRITE_BACK, 1)])
            self.assertIn(b"No space left on device", run.stderr)
            self.assertEqual(run.partition, expected.written[:140])


class SerialIdTest(BoxTest):
    def test_serial_id_texts(self):
        for name, serial in (("above 32 bits, clamps", b"1ff123456"),
                             ("0x80000000, clamps", b"80000000"),
                             ("below -2^31, clamps", b"-80000001\n"),
                             ("negative", b"-1\n"),
                             ("blanks and 0X prefix", b" \t0X7aBc\n"),
                             ("no digits", b"serial\n"),
                             ("longer than 20 bytes", b"0" * 18 + b"12345\n")):
            with self.subTest(name):
                self.rewrite(partition(OTHER), serial)

    def test_fifo_for_the_serial_id_reads_as_empty(self):
        # With no writer it must not hold the run, and the lock, for ever.
        data = partition(OTHER)
        run = self.run_box(simbox.Box(partition=data, serial_id=simbox.FIFO), timeout=10)
        self.assert_left_alone(run, data, b"")


class CommandLineTest(BoxTest):
    def test_arguments_are_ignored(self):
        for argv in (["start"], ["-", "/dev/mtd0"], ["--", "-n", "--bogus"], ["x" * 300, ""]):
            with self.subTest(argv=[a[:12] for a in argv]):
                self.rewrite(partition(OTHER), argv=argv)

    def test_options_that_do_not_run_touch_nothing(self):
        data = partition(OTHER)
        stale = partition(DERIVED)
        usage, version = "usage", "version"
        for argv, shown, status in (
                (["--help"], usage, 0), (["-h"], usage, 0), (["--dry-run", "--help"], usage, 0),
                (["--version"], version, 0), (["start", "-V"], version, 0), (["-nV"], version, 0),
                (["-Vh"], version, 0),
                (["--help", "--bogus"], None, 2), (["-nx"], None, 2), (["--dry-run=1"], None, 2),
                (["start", "-help"], None, 2)):
            with self.subTest(argv=argv):
                box = simbox.Box(partition=data, serial_id=SERIAL_ID, working_file=stale)
                run = self.run_box(box, argv=argv)
                if shown == usage:
                    self.assertTrue(run.stdout.startswith(b"Usage: mtdmac "), run.stdout)
                    self.assertIn(b"mtdmac(8)", run.stdout)
                elif shown == version:
                    self.assertRegex(run.stdout, rb"^mtdmac [0-9]+\.[0-9]+\.[0-9]+\n\Z")
                    if VERSION:
                        self.assertEqual(run.stdout, f"mtdmac {VERSION}\n".encode())
                else:
                    self.assertEqual(run.stdout, b"")
                    self.assertRegex(run.stderr, rb"^mtdmac: unknown option '.*'\nUsage: mtdmac ")
                self.assertEqual((run.status, run.commands), (status, []))
                if status == 0:
                    self.assertEqual(run.stderr, b"")
                self.assertEqual(run.partition, data)
                self.assertEqual(run.working_file, stale)

    def test_dry_run_reports_and_changes_nothing(self):
        for name, data, argv in (("rewrite due", partition(OTHER), ["-n"]),
                                 ("flash correct", partition(DERIVED), ["start", "--dry-run"])):
            with self.subTest(name):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID), argv=argv)
                expected = model.run(data, SERIAL_ID, dry_run=True)
                self.assert_report(run, expected.stdout, expected.status)
                self.assertEqual(run.commands, [(DUMP, 0)])
                self.assertEqual(run.partition, data)

    def test_report_keeps_its_order_in_a_pipe_and_a_file(self):
        # The erase prints its progress line, then the tool reports it failed.
        data = partition(OTHER)
        expected = model.run(data, SERIAL_ID)
        for stdout in ("pipe", "file"):
            with self.subTest(stdout):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID),
                                   stdout=stdout, erase_fault="after")
                self.assert_report(run, expected.stdout + simbox.erase_progress_line(SIZE) +
                                   b"erasing /dev/mtd3 failed!\n", 1)
                self.assertEqual(run.commands, [(DUMP, 0), (ERASE, 1), (WRITE_BACK, 0)])
                self.assertEqual(run.partition, expected.written)


class FaultTest(BoxTest):
    def test_failed_erase_still_writes_back(self):
        data = partition(OTHER)
        run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID), erase_fault="before")
        expected = model.run(data, SERIAL_ID)
        self.assert_report(run, expected.stdout + b"erasing /dev/mtd3 failed!\n", 1)
        self.assertEqual(run.commands, [(DUMP, 0), (ERASE, 1), (WRITE_BACK, 0)])
        self.assertEqual(run.partition, expected.written)

    def test_broken_write_back_is_repaired_by_the_next_run(self):
        # A failed write-back keeps the working file; a power cut loses it with /tmp.
        cuts = [(0, False), (100, False)] + [(cut, True) for cut in POWER_CUTS]
        for cut, power_cut in cuts:
            with self.subTest(cut=cut, power_cut=power_cut):
                data = partition(OTHER)
                box = simbox.Box(partition=data, serial_id=SERIAL_ID)
                run = self.run_box(box, write_cut=cut, power_cut=power_cut)
                expected = model.run(data, SERIAL_ID)
                report = expected.stdout + simbox.erase_progress_line(SIZE)
                if power_cut:
                    self.assertEqual(run.stdout, report)
                    self.assertIsNone(run.status)
                    self.assertEqual(run.commands, [(DUMP, 0), (ERASE, 0), (WRITE_BACK, None)])
                    self.assertIsNone(box.working_file)
                else:
                    self.assert_report(run, report + b"writing /dev/mtd3 failed!\n", 1)
                    self.assertEqual(run.commands, [(DUMP, 0), (ERASE, 0), (WRITE_BACK, 1)])
                broken = expected.written[:cut] + b"\xff" * (SIZE - cut)
                self.assertEqual(run.partition, broken)

                repair = self.run_box(box)
                if model.run(broken, SERIAL_ID).written is None:
                    self.assert_left_alone(repair, broken)
                else:
                    self.assert_rewrite(repair, broken)

    def test_failed_dump_is_never_flashed(self):
        # The check shows what arrived; a rewrite would lose what did not.
        large = partition(OTHER, 2 * SIZE)
        stale = partition(bytes.fromhex("0a0b0c0d0e0f"))
        own = partition(DERIVED)
        for name, data, working, options, dumped in (
                # What was compared is not what the flash holds, even where it agrees.
                ("read error at the start, a stale working file with the box's address",
                 partition(OTHER), own, {"read_cut": 0}, None),
                ("read error after 4096 bytes", partition(OTHER), None, {"read_cut": 4096}, 4096),
                ("read error at the start, a stale working file", partition(OTHER), stale,
                 {"read_cut": 0}, None),
                ("/tmp smaller than the image", partition(OTHER), None, {"tmp_size": SIZE // 2},
                 SIZE // 2),
                ("/tmp smaller than the partition", large, None, {"tmp_size": 3 * SIZE // 2},
                 3 * SIZE // 2)):
            with self.subTest(name):
                box = simbox.Box(partition=data, serial_id=SERIAL_ID, working_file=working,
                                 tmp_size=options.pop("tmp_size", 1 << 20))
                run = self.run_box(box, **options)
                expected = model.run(working if dumped is None else data[:dumped], SERIAL_ID,
                                     dump_failed=True)
                self.assert_report(run, expected.stdout, 1)
                self.assertEqual(run.commands, [(DUMP, 1)])
                self.assertEqual(run.partition, data)
                self.assertEqual(run.working_file, working if dumped is None else data[:dumped])

    def test_whatever_stands_at_the_working_file_is_not_used(self):
        # Each as root leaves it: a run as any other, and the tool's own file.
        data = partition(OTHER)
        for plant in ("symlink", "hardlink", "fifo", "foreign"):
            with self.subTest(plant):
                if plant == "foreign" and os.geteuid() != 0:
                    self.skipTest("another user's file needs root")
                _, run = self.rewrite(data, plant=plant, timeout=30)
                self.assertEqual(run.working_stat, (0, 0o100600, 1))
                if plant != "foreign":
                    self.assertEqual(run.victim, simbox.VICTIM)


class RaceTest(BoxTest):
    """What others do to a run: another user, another tool, a signal, what the
    caller leaves. Not under valgrind, which has descriptors and signals of its own."""

    def test_another_user_planting_links_all_along(self):
        if os.geteuid() != 0:
            self.skipTest("another user needs root")
        data = partition(OTHER)
        # Each run as fast as the planter: no number of tries it can use up.
        for trial in range(8):
            with self.subTest(trial=trial):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID),
                                   plant="user-symlinks", timeout=30)
                self.assertEqual(run.victim, simbox.VICTIM)
                self.assert_rewrite(run, data)
        # A /tmp where that user can rename a link over root's file: nothing runs.
        for name, mode, owner in (("not sticky", 0o777, 0),
                                  ("another user's", 0o1777, simbox.OTHER_USER)):
            with self.subTest(name):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID),
                                   plant="user-renames", tmp_mode=mode, tmp_owner=owner,
                                   timeout=30)
                self.assertEqual(run.victim, simbox.VICTIM)
                self.assert_report(run, b"making /tmp/mac.bin failed!\n", 255)
                self.assertEqual((run.commands, run.partition), ([], data))
                self.assertIn(b"mtdmac: /tmp: ", run.stderr)

    def test_stopped_after_the_erase_the_write_back_still_runs(self):
        # A shutdown, a dropped console session, a reader that goes away: the
        # run ends as the signal asks once the partition holds the new image.
        data = partition(OTHER)
        expected = model.run(data, SERIAL_ID)
        for after_erase, signal, stdout in (
                ("term", 15, expected.stdout + simbox.erase_progress_line(SIZE)),
                ("hup-group", 1, expected.stdout + simbox.erase_progress_line(SIZE)),
                ("reader-gone", None, expected.stdout)):
            with self.subTest(after_erase):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID),
                                   after_erase=after_erase, timeout=30)
                self.assertEqual(run.partition, expected.written)
                self.assertEqual(run.commands, REWRITE_COMMANDS)
                self.assertEqual(run.stdout, stdout)
                self.assertEqual((run.status, run.tools[0].signal),
                                 (None, signal) if signal else (0, None))

    def test_what_the_caller_leaves_is_not_used(self):
        # Closed standard descriptors; a working folder in /tmp and a PATH
        # that names it, where another user put a dd and a flash_eraseall.
        data = partition(OTHER)
        with self.subTest("standard error closed"):
            self.rewrite(data, closed=(2,))
        with self.subTest("all three closed"):
            run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID), closed=(0, 1, 2))
            self.assertEqual((run.stdout, run.stderr, run.status), (b"", b"", 0))
            self.assertEqual(run.commands, REWRITE_COMMANDS)
            self.assertEqual(run.partition, model.run(data, SERIAL_ID).written)
        with self.subTest("working folder /tmp"):
            _, run = self.rewrite(data, plant="commands", cwd="/tmp", env={"PATH": "."})
            self.assertEqual(run.victim, simbox.VICTIM)

    def test_tools_started_together_rewrite_once(self):
        # Each later tool starts while the first one dumps, erases or writes back, or after it.
        data = partition(OTHER, 2 * SIZE)
        expected = model.run(data, SERIAL_ID)
        rewritten = flashed(len(data), expected.written + data[SIZE:])
        reports = [expected.stdout + simbox.erase_progress_line(len(data))]
        reports += [model.run(rewritten, SERIAL_ID).stdout] * 2
        for gap in (0, 0.05, 0.1, 0.2, 0.4):
            with self.subTest(gap=gap):
                run = self.run_box(simbox.Box(partition=data, serial_id=SERIAL_ID), copies=3,
                                   start_gap=gap, erase_seconds=0.3)
                self.assertEqual(run.partition, rewritten)
                self.assertEqual(sorted(tool.stdout for tool in run.tools), sorted(reports))
                self.assertEqual([tool.status for tool in run.tools], [0] * 3)
                self.assertEqual(sorted(run.commands),
                                 sorted([(DUMP, 0)] * 3 + REWRITE_COMMANDS[1:]))


class ModelTest(unittest.TestCase):
    def test_model_agrees_with_values_the_formats_fix(self):
        for what, got, known in (
                ("sum of an erased block", model.checksum(b"\xff" * model.BLOCK_SIZE), 0x74),
                ("sum of the template", model.checksum(model.template()), 0x04),
                ("0012abcd", model.serial_value(b"0012abcd\n"), 0x12ABCD),
                ("1ff123456", model.serial_value(b"1ff123456"), 0x7FFFFFFF),
                ("80000000", model.serial_value(b"80000000"), 0x7FFFFFFF),
                ("-1", model.serial_value(b"-1"), -1),
                ("no digits", model.serial_value(b"serial"), 0),
                ("address of 0012abcd", model.mac_text(model.derived_address(b"0012abcd\n")),
                 "02:C4:7A:12:AB:CD"),
                ("serial lines of 0012abcd", model.run(partition(OTHER), b"0012abcd\n").stdout
                 .split(b"FLASH MAC - 00:11:22:33:44:55\n")[1].split(b"set_checksum")[0],
                 b"serialid = 0012abcd\n\nserialid = 12abcd, 1223629\n"
                 b"PROC MAC - 02:C4:7A:12:AB:CD\n"),
                ("148-byte dump", model.dump("MAC Par", bytes(148)).count(b"\n"), 1 + 10 + 1),
                ("16-byte dump", model.dump("x", bytes(16)).count(b"\n"), 2),
                ("17-byte dump tail", model.dump("x", b"A" * 17).splitlines()[2],
                 b"41" + b" " * 47 + b"A")):
            with self.subTest(what):
                self.assertEqual(got, known)

    def test_virtual_box_reports_keep_the_commands_output_between_the_tool_lines(self):
        rewrite = model.Expected(b"A\n", 0, b"")
        for actual, fits in (("A\nErasing 64 Kibyte\n", True), ("B\n", False),
                             ("A\nerasing /dev/mtd3 failed!\n", False)):
            with self.subTest(actual):
                self.assertEqual(scenarios.report_problem(actual, rewrite) is None, fits)


class BoxIsolationTest(BoxTest):
    def test_nothing_reaches_the_host(self):
        watched = ("/tmp/mac.bin", "/dev/mtd3", "/proc/stb")
        before = {path: os.path.lexists(path) for path in watched}
        self.rewrite(partition(OTHER))
        self.assertEqual({path: os.path.lexists(path) for path in watched}, before)


def main():
    global BINARY, EMULATOR, VERSION, POWER_CUTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--emulator", default="", help="command prefix, e.g. qemu-mipsel -L ...")
    parser.add_argument("--version", help="the version --version must print (the project's)")
    parser.add_argument("--every-power-cut", action="store_true",
                        help="cut the power at every byte count of EVERY_POWER_CUT")
    args, rest = parser.parse_known_args()
    BINARY = args.binary
    VERSION = args.version
    EMULATOR = shlex.split(args.emulator)
    if args.every_power_cut:
        POWER_CUTS = EVERY_POWER_CUT
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
