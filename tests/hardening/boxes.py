"""Boxes for the hardening checks: a partition whose every region can be
told apart, and a reading of a partition the way the tool checks it."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "box", "sim"))

import simbox  # noqa: E402

IMAGE_SIZE = 0x10000
PARTITION_SIZE = 2 * IMAGE_SIZE  # a tail past the 64 KiB image, to see what happens to it
SERIAL_ID = b"0012abcd\n"
DERIVED = bytes([0x02, 0xC4, 0x7A, 0x12, 0xAB, 0xCD])
OTHER = bytes([0x00, 0x11, 0x22, 0x33, 0x44, 0x55])

# Regions of the partition that the tool carries along but does not set.
REGIONS = [
    ("header 0-11", 0, 12),
    ("76-139", 76, 140),
    ("142-147", 142, 148),
    ("148-64K", 148, IMAGE_SIZE),
    ("past 64K", IMAGE_SIZE, PARTITION_SIZE),
]


def checksum(data):
    return sum(data[:140]) % 256


def partition_with(mac):
    """A partition with a valid block holding mac and a distinct byte pattern
    everywhere else (no 0xFF, so an erase shows)."""
    data = bytearray((i * 7 + 3) % 251 for i in range(PARTITION_SIZE))
    data[0:12] = bytes(range(0x10, 0x1C))
    for i in range(8):
        at = 12 + 8 * i
        data[at:at + 8] = mac + b"\x00\x00"
    data[140] = data[141] = checksum(data)
    return bytes(data)


def block_state(partition):
    """(verifies, address of the reference entry, all eight entries hold it)."""
    if partition is None or len(partition) < 141:
        return False, None, False
    verifies = checksum(partition) == partition[140]
    ref = partition[36:42]
    same = all(partition[12 + 8 * i:18 + 8 * i] == ref for i in range(8))
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
    return sum(1 for command, _ in run.commands if command.startswith("flash_eraseall"))


def write_backs(run):
    return sum(1 for command, _ in run.commands if command.startswith("dd of=/dev/mtd3"))
