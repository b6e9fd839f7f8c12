#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tool's whole job on the virtual box: a partition whose block holds
another box's address, mtdmac run twice on the same flash in one boot.

    demo.py TOOL [--flash nandsim|mtdram]
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "sim"))

import model  # noqa: E402
import vmbox  # noqa: E402

SERIAL_ID = b"0012abcd\n"
STORED = bytes.fromhex("001122334455")


def show(title, result):
    print(f"\n== {title}\n\n# mtdmac")
    sys.stdout.flush()
    sys.stdout.buffer.write(result.report)
    print(f"(exit status {result.status}; {result.erases} erase requests reached the flash)")
    print("its commands' standard error:")
    sys.stdout.buffer.write(b"".join(b"  " + line for line in result.files["stderr"].splitlines(True)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tool", help="the mipsel mtdmac binary")
    parser.add_argument("--flash", choices=sorted(vmbox.FLASH_TYPES), default="nandsim")
    args = parser.parse_args()

    flash = vmbox.FLASH_TYPES[args.flash]()
    block = model.block(STORED)
    seed = block + b"\xff" * (flash.size - len(block))
    results = vmbox.boot([vmbox.Scenario("first", flash, seed, SERIAL_ID),
                          vmbox.Scenario("second", flash, None, SERIAL_ID)], args.tool)
    first, second = results["first"], results["second"]

    _, release = vmbox._kernel(vmbox.fetch())
    mtd3 = first.files["mtd"].decode().splitlines()[flash.device + 1]
    print(f"The virtual box: Linux {release} (32-bit MIPS, Malta) under qemu-system-mipsel;\n"
          f"flash driver {args.flash}, /dev/mtd3 is {mtd3}\n"
          f"serial id {SERIAL_ID!r}; the block holds {model.mac_text(STORED)} "
          "with a good checksum.")
    show("first run: another address, so the block is rewritten", first)
    print("\n" + model.changes_text(seed, first.partition))

    show("second run, same boot: the address is the box's own, nothing is written", second)
    same = second.partition == first.partition
    print("\npartition after the second run:", "unchanged" if same else "CHANGED")
    return 0 if first.status == "0" and second.erases == 0 and same else 1


if __name__ == "__main__":
    sys.exit(main())
