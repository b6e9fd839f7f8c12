#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tool's whole job on the simulated box: a partition whose block holds
another box's address, mtdmac run twice on the same box.

    demo.py BINARY
"""

import sys

import model
import simbox

SERIAL_ID = b"0012abcd\n"
STORED = bytes.fromhex("001122334455")


def show(title, run):
    print(f"\n== {title}\n")
    print("$ mtdmac")
    sys.stdout.flush()
    sys.stdout.buffer.write(run.stdout)
    print(f"(exit status {run.status})")
    print("commands the tool ran:")
    for command, status in run.commands:
        print(f"  {command}    -> exit status {status}")


def main(binary):
    # Erased flash around the block, which ends in zeros as the README's example shows.
    block = model.block(STORED, background=b"\xff" * model.CHECKSUM_AT + bytes(8))
    before = (block + b"\xff" * model.IMAGE_SIZE)[:model.IMAGE_SIZE]
    box = simbox.Box(partition=before, serial_id=SERIAL_ID)
    print(f"The box: serial id {SERIAL_ID!r}, a 64 KiB partition whose block holds "
          f"{model.mac_text(STORED)} with a good checksum.")
    first = box.run(binary)
    show("first run: another address, so the block is rewritten", first)
    print("\n" + model.changes_text(before, first.partition))

    second = box.run(binary)
    show("second run: the address is the box's own, nothing is written", second)
    same = second.partition == first.partition
    print("\npartition after the second run:", "unchanged" if same else "CHANGED")
    return 0 if first.status == 0 and same else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: demo.py BINARY")
    sys.exit(main(sys.argv[1]))
