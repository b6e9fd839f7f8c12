# SPDX-License-Identifier: MIT
"""Boxes for the hardening checks: a partition whose every region can be
told apart, and a reading of a partition the way the tool checks it."""

import os
import sys

# Run by hand as well as by CTest: the one place these scripts find the box.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../box/sim"))

import model  # noqa: E402
import simbox  # noqa: E402,F401

PARTITION_SIZE = 2 * model.IMAGE_SIZE  # a tail past the 64 KiB image, to see what happens to it
SERIAL_ID = b"0012abcd\n"
DERIVED = model.derived_address(SERIAL_ID)
OTHER = bytes([0x00, 0x11, 0x22, 0x33, 0x44, 0x55])

# Regions of the partition that the tool carries along but does not set.
REGIONS = [
    ("header 0-11", 0, 12),
    ("76-139", 76, 140),
    ("142-147", 142, 148),
    ("148-64K", 148, model.IMAGE_SIZE),
    ("past 64K", model.IMAGE_SIZE, PARTITION_SIZE),
]


def partition_with(mac):
    return model.partition(mac, PARTITION_SIZE)


def block_state(partition):
    """(verifies, address of the reference entry, all eight entries hold it)."""
    if partition is None or len(partition) <= model.CHECKSUM_AT:
        return False, None, False
    verifies = model.checksum(partition) == partition[model.CHECKSUM_AT]
    ref = model.entry(partition, model.REFERENCE_ENTRY)
    same = all(model.entry(partition, i) == ref for i in range(model.ENTRIES))
    return verifies, ref, same


def survival(original, now):
    """For each region: how many of its bytes still hold the original value."""
    out = []
    for name, start, end in REGIONS:
        have = now[start:end] if now is not None else b""
        kept = sum(1 for a, b in zip(original[start:end], have) if a == b)
        out.append((name, kept, end - start))
    return out


def survival_text(counts):
    parts = []
    for name, kept, total in counts:
        word = "kept" if kept == total else ("lost" if kept * 50 < total else f"{kept}/{total}")
        parts.append(f"{name} {word}")
    return ", ".join(parts)


def erases(run):
    return sum(1 for command, _ in run.commands if command == model.ERASE)


def write_backs(run):
    return sum(1 for command, _ in run.commands if command == model.WRITE_BACK)
