#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Power cuts at every point of the write-back, and two tools at once.

For each cut the box loses power after the write-back has put k bytes on the
erased partition (or right after the erase); /tmp is lost with it. The next
run must leave a block that verifies and holds the derived address, and the
one after must find nothing to do. The table says what of the regions the
tool does not set came through; a rerun cannot bring back what the cut
destroyed, because it dumps the damaged flash.

Then two tools start together on a box with the wrong address, several times,
the second a little later each time, so that it starts before, while or after
the first erases. One waits for the other to finish, so no trial may lose a
byte the tool does not set; the lines say what the two leave and what one
more run does.

    power_cut.py BINARY [--wrapper "valgrind -q"] [--trials 6]
"""

import argparse
import shlex
import sys

from boxes import (DERIVED, OTHER, SERIAL_ID, block_state, erases, partition_with, simbox,
                   survival, survival_text, write_backs)

CUTS = [0, 1, 139, 140, 141, 147, 148, 512, 4096, 65535]


def tail(run):
    return (run.stdout[-400:] + run.stderr[-400:]).decode(errors="replace")


def describe_rerun(run):
    text = run.stdout.decode(errors="replace")
    if "verify /tmp/mac.bin failed!" in text:
        action = "reset+rewrite"
    elif erases(run):
        action = "rewrite"
    else:
        action = "no write"
    return action


def sweep(binary, wrapper):
    failures = []
    original = partition_with(OTHER)
    rows = []
    for cut in CUTS + ["erase"]:
        box = simbox.Box(partition=original, serial_id=SERIAL_ID)
        if cut == "erase":
            # The state a cut right after the erase leaves: all flash erased
            # and the working file gone with /tmp.
            box.partition = b"\xff" * len(original)
            box.working_file = None
            cut_note = "erased"
        else:
            first = box.run(binary, wrapper=wrapper, write_cut=cut, power_cut=True)
            if not first.power_cut:
                failures.append(f"cut {cut}: the box did not lose power")
            written = first.partition[:cut] == partition_with(DERIVED)[:cut] if cut else True
            ok, ref, _ = block_state(first.partition)
            cut_note = "block ok" if ok and ref == DERIVED else "block bad"
            if not written:
                failures.append(f"cut {cut}: the bytes before the cut are not the new image")
        second = box.run(binary, wrapper=wrapper)
        ok, ref, all_entries = block_state(second.partition)
        if second.status != 0 or not ok or ref != DERIVED or not all_entries:
            failures.append(f"cut {cut}: the second run left verifies={ok} address="
                            f"{ref.hex(':') if ref else None} status={second.status}\n"
                            f"{tail(second)}")
        third = box.run(binary, wrapper=wrapper)
        if erases(third) or write_backs(third) or third.partition != second.partition:
            failures.append(f"cut {cut}: a third run still wrote the partition")
        rows.append((str(cut), cut_note, describe_rerun(second),
                     "yes" if ok and ref == DERIVED else "NO",
                     survival_text(survival(original, second.partition))))

    print(f"{'cut at':>7}  {'after cut':<9}  {'2nd run':<13}  {'ok':<3}  what survives")
    for row in rows:
        print(f"{row[0]:>7}  {row[1]:<9}  {row[2]:<13}  {row[3]:<3}  {row[4]}")
    return failures


def two_at_once(binary, wrapper, trials):
    failures = []
    original = partition_with(OTHER)
    print(f"\ntwo tools at once, {trials} trials:")
    for trial in range(trials):
        box = simbox.Box(partition=original, serial_id=SERIAL_ID)
        gap = 0.02 * trial
        both = box.run(binary, wrapper=wrapper, copies=2, start_gap=gap, erase_seconds=0.1)
        ok, ref, _ = block_state(both.partition)
        statuses = [t.status for t in both.tools]
        kept = survival(original, both.partition)
        if any(k != total for _, k, total in kept):
            failures.append(f"two at once, trial {trial}: data lost: {survival_text(kept)}")
        after_both = "verifies, derived" if ok and ref == DERIVED else (
            f"verifies={ok}, address {ref.hex(':') if ref else None}")
        third = box.run(binary, wrapper=wrapper)
        ok3, ref3, _ = block_state(third.partition)
        repaired = ok3 and ref3 == DERIVED
        if not repaired:
            failures.append(f"two at once, trial {trial}: a third run did not repair the block"
                            f" (status {third.status})\n{tail(third)}")
        print(f"  trial {trial}, second {gap:.2f} s later: statuses {statuses}, "
              f"{erases(both)} erases, "
              f"{write_backs(both)} write-backs; after both: {after_both}; "
              f"{survival_text(kept)}; third run: {describe_rerun(third)}, "
              f"{'repaired' if repaired else 'NOT repaired'}")
    lost = sum(1 for f in failures if "data lost" in f)
    print(f"  {'no trial lost data' if not lost else f'{lost} of {trials} trials LOST DATA'}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    parser.add_argument("--wrapper", default="")
    parser.add_argument("--trials", type=int, default=6, help="runs of two tools at once")
    args = parser.parse_args()
    wrapper = shlex.split(args.wrapper)
    failures = sweep(args.binary, wrapper) + two_at_once(args.binary, wrapper, args.trials)
    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    print(f"\npower cuts: {len(CUTS) + 1 + args.trials} checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
