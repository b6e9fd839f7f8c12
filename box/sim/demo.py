#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tool's whole job on a box: a partition whose block holds another box's
address, mtdmac run twice on the same flash.

    demo.py BINARY                                on the simulated box
    demo.py --vm TOOL [--flash nandsim|mtdram]    on the virtual box, one boot
                                                  (box/vm on PYTHONPATH)
"""

import argparse
import sys

import model
from scenarios import OTHER, SERIAL_ID


def seed(size):
    """Erased flash around the block, which ends in zeros as the README's example shows."""
    block = model.block(OTHER, background=b"\xff" * model.CHECKSUM_AT + bytes(8))
    return (block + b"\xff" * size)[:size]


def show(title, report, notes):
    print(f"\n== {title}\n\n$ mtdmac")
    sys.stdout.flush()
    sys.stdout.buffer.write(report)
    for note in notes:
        print(note)


# Each returns what the box is, the partition before, and for each run its
# report, notes, the partition after, its exit status and its erases.
def on_simulated_box(binary):
    import simbox

    before = seed(model.IMAGE_SIZE)
    box = simbox.Box(partition=before, serial_id=SERIAL_ID)
    runs = []
    for _ in range(2):
        run = box.run(binary)
        notes = [f"(exit status {run.status})", "commands the tool ran:"]
        notes += [f"  {command}    -> exit status {status}" for command, status in run.commands]
        erases = sum(1 for command, _ in run.commands if command == model.ERASE)
        runs.append((run.stdout, notes, run.partition, run.status, erases))
    return "The simulated box: a 64 KiB partition", before, runs


def on_virtual_box(tool, kind):
    import vmbox

    flash = vmbox.FLASH_TYPES[kind]()
    before = seed(flash.size)
    results = vmbox.boot([vmbox.Scenario("first", flash, before, SERIAL_ID),
                          vmbox.Scenario("second", flash, None, SERIAL_ID)], tool)
    _, release = vmbox._kernel(vmbox.fetch())
    mtd3 = results["first"].files["mtd"].decode().splitlines()[flash.device + 1]
    runs = []
    for name in ("first", "second"):
        result = results[name]
        notes = [f"(exit status {result.status}; {result.erases} erase requests reached the "
                 "flash)", "its commands' standard error:"]
        notes += ["  " + line for line in result.files["stderr"].decode().splitlines()]
        runs.append((result.report, notes, result.partition, int(result.status), result.erases))
    return (f"The virtual box: Linux {release} (32-bit MIPS, Malta) under qemu-system-mipsel;\n"
            f"flash driver {kind}, /dev/mtd3 is {mtd3}"), before, runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary", help="the mtdmac binary (mipsel with --vm)")
    parser.add_argument("--vm", action="store_true", help="on the virtual box")
    parser.add_argument("--flash", choices=("nandsim", "mtdram"), default="nandsim")
    args = parser.parse_args()
    if args.vm:
        box, before, runs = on_virtual_box(args.binary, args.flash)
    else:
        box, before, runs = on_simulated_box(args.binary)
    (first, first_notes, first_after, status, _), (second, second_notes, after, _, erases) = runs

    print(f"{box};\nserial id {SERIAL_ID!r}; the block holds {model.mac_text(OTHER)} with a "
          "good checksum.")
    show("first run: another address, so the block is rewritten", first, first_notes)
    print("\n" + model.changes_text(before, first_after))
    show("second run: the address is the box's own, nothing is written", second, second_notes)
    same = after == first_after
    print("\npartition after the second run:", "unchanged" if same else "CHANGED")
    return 0 if status == 0 and erases == 0 and same else 1


if __name__ == "__main__":
    sys.exit(main())
