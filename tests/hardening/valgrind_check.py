#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tool under valgrind in the simulated box, in every kind of run.

memcheck must report no error and no leak; DHAT's allocation points must all
be inside the C library (a FILE and its buffer for each stream), none called
from the tool's own code.

    valgrind_check.py BINARY        (a build without sanitizers)
"""

import argparse
import json
import os
import re
import sys
import tempfile

from boxes import DERIVED, OTHER, SERIAL_ID, partition_with, simbox

SCENARIOS = [
    ("no write", dict(partition=partition_with(DERIVED), serial_id=SERIAL_ID), {}),
    ("rewrite", dict(partition=partition_with(OTHER), serial_id=SERIAL_ID), {}),
    ("erased flash", dict(partition=b"\xff" * 0x20000, serial_id=SERIAL_ID), {}),
    ("no serial id", dict(partition=partition_with(OTHER), serial_id=None), {}),
    ("short dump", dict(partition=b"\x00" * 100, serial_id=SERIAL_ID), {}),
    ("erase fails", dict(partition=partition_with(OTHER), serial_id=SERIAL_ID),
     {"erase_fault": "before"}),
]


def own_code(frame, binary):
    return frame.endswith(f"(in {binary})")


def check(binary, scratch):
    failures = []
    binary = os.path.realpath(binary)
    print(f"{'run':<13} {'status':>6} {'errors':>6} {'allocs':>6} {'frees':>6} {'bytes':>7}  "
          "allocation points (caller of malloc)")
    for name, box_args, run_args in SCENARIOS:
        log = os.path.join(scratch, "memcheck.log")
        run = simbox.Box(**box_args).run(
            binary, wrapper=["valgrind", "--error-exitcode=1", "--leak-check=full",
                             "--show-leak-kinds=all", "--errors-for-leak-kinds=all",
                             f"--log-file={log}"], **run_args)
        text = open(log).read()
        errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
        usage = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees, ([\d,]+) bytes",
                          text)
        if run.status not in (0, 254, 255) or errors is None or usage is None:
            failures.append(f"{name}: memcheck did not finish (status {run.status})\n{text}")
            continue
        allocs, frees, size = (int(g.replace(",", "")) for g in usage.groups())
        if int(errors.group(1)) or allocs != frees:
            failures.append(f"{name}: memcheck found problems\n{text}")

        out = os.path.join(scratch, "dhat.json")
        simbox.Box(**box_args).run(
            binary, wrapper=["valgrind", "--tool=dhat", f"--dhat-out-file={out}",
                             f"--log-file={os.path.join(scratch, 'dhat.log')}"], **run_args)
        with open(out) as f:
            dhat = json.load(f)
        callers = {}
        for point in dhat["pps"]:
            frames = [dhat["ftbl"][i] for i in point["fs"]]
            caller = re.sub(r"^0x[0-9A-F]+: ", "", frames[1] if len(frames) > 1 else "?")
            if own_code(frames[1] if len(frames) > 1 else "", binary) or any(
                    "operator new" in f for f in frames):
                failures.append(f"{name}: an allocation made by the tool's own code: {frames}")
            key = caller.split(" (")[0]
            callers[key] = callers.get(key, 0) + point["tbk"]
        counted = sum(callers.values())
        if counted != allocs:
            failures.append(f"{name}: DHAT counted {counted} allocations, memcheck {allocs}")
        points = ", ".join(f"{n} x {c}" for c, n in sorted(callers.items()))
        print(f"{name:<13} {run.status:>6} {errors.group(1):>6} {allocs:>6} {frees:>6} "
              f"{size:>7}  {points}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    args = parser.parse_args()
    # Outside /tmp: the box has its own.
    with tempfile.TemporaryDirectory(prefix="mtdmac-valgrind-", dir="/var/tmp") as scratch:
        failures = check(args.binary, scratch)
    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    print(f"valgrind: {len(SCENARIOS)} runs checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
