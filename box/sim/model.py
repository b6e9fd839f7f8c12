# SPDX-License-Identifier: MIT
"""mtdmac in Python: the parameter block, the serial id and the report, as
the tool writes them. The boxes' tests, demos and benchmarks build their
partitions and expected reports from this one model.

It is written from the block layout and the report formats the README
describes, not from the C++ code, so that a test does not just replay the
tool.
"""

import re
from dataclasses import dataclass

# The tool's fixed paths and the commands it runs.
PARTITION = "/dev/mtd3"
WORKING_FILE = "/tmp/mac.bin"
SERIAL_ID = "/proc/stb/info/serialid"
DUMP = f"dd if={PARTITION} of={WORKING_FILE}"
ERASE = f"flash_eraseall {PARTITION}"
WRITE_BACK = f"dd of={PARTITION} if={WORKING_FILE}"

IMAGE_SIZE = 0x10000  # what the tool loads of the working file
BLOCK_SIZE = 148
CHECKSUM_AT = 140  # bytes 0 to 139 are summed; 140 holds the sum, 141 a copy
HEADER = bytes(7) + b"\x84" + bytes(4)  # the template's
ENTRIES = 8
REFERENCE_ENTRY = 3
PREFIX = b"\x02\xc4\x7a"  # of every derived address
SERIAL_TEXT_MAX = 20  # bytes of the serial id the tool reads


def checksum(data):
    return sum(data[:CHECKSUM_AT]) % 256


def entry_offset(index):
    return 12 + 8 * index


def entry(image, index):
    """The address in entry index."""
    return bytes(image[entry_offset(index):entry_offset(index) + 6])


def mac_text(mac):
    return ":".join(f"{b:02X}" for b in mac)


def changed_spans(before, after, length=None):
    """(first, last) offsets of each run of bytes that differ, in the first length."""
    end = min(len(before), len(after), length if length is not None else len(before))
    spans = []
    for i in range(end):
        if before[i] == after[i]:
            continue
        if spans and spans[-1][1] == i - 1:
            spans[-1][1] = i
        else:
            spans.append([i, i])
    return [tuple(s) for s in spans]


def _field(offset):
    index = (offset - entry_offset(0)) // 8
    if 0 <= index < ENTRIES:
        return f"entry {index}" + (" (reference)" if index == REFERENCE_ENTRY else "")
    return {CHECKSUM_AT: "checksum", CHECKSUM_AT + 1: "checksum copy"}.get(offset, "")


def changes_text(before, after):
    """For a reader: the bytes of the block that changed, what each is, and
    how many bytes past the block changed."""
    lines = ["bytes of the block that changed (offset: before -> after):"]
    for a, b in changed_spans(before, after, BLOCK_SIZE):
        where = f"{a}" if a == b else f"{a}-{b}"
        lines.append(f"  {where:>7}  {before[a:b + 1].hex(' '):17}  ->  "
                     f"{after[a:b + 1].hex(' '):17}  {_field(a)}")
    rest = changed_spans(before[BLOCK_SIZE:], after[BLOCK_SIZE:])
    lines.append(f"bytes past the block that changed: {sum(b - a + 1 for a, b in rest)}")
    return "\n".join(lines)


def template():
    """The image a block that fails its checksum is reset to."""
    return HEADER + b"\xff" * (IMAGE_SIZE - len(HEADER))


def with_address(image, mac):
    """The image with mac in every entry and a fresh checksum at 140 and 141."""
    new = bytearray(image)
    for i in range(ENTRIES):
        new[entry_offset(i):entry_offset(i) + 8] = mac + b"\0\0"
    new[CHECKSUM_AT] = new[CHECKSUM_AT + 1] = checksum(new)
    return bytes(new)


def block(addresses, header=HEADER, background=b""):
    """A block of 148 bytes that verifies: the header, entry i holding
    addresses[i] (a single address goes into every entry), the checksum at
    140 and 141, every other byte from background (0xFF past its end)."""
    if isinstance(addresses, bytes):
        addresses = [addresses] * ENTRIES
    image = bytearray((background + b"\xff" * BLOCK_SIZE)[:BLOCK_SIZE])
    image[:len(header)] = header
    for i, address in enumerate(addresses):
        image[entry_offset(i):entry_offset(i) + 8] = bytes(address) + b"\0\0"
    image[CHECKSUM_AT] = image[CHECKSUM_AT + 1] = checksum(image)
    return bytes(image)


def partition(mac, size):
    """A partition of size bytes whose block verifies and holds mac in every
    entry; every other byte differs from its neighbours and none is 0xFF, so
    that any byte the tool moves, loses or erases shows."""
    background = bytes((i * 7 + 3) % 251 for i in range(size))
    return (block(mac, header=background[:12], background=background)
            + background[BLOCK_SIZE:])[:size]


def serial_value(text):
    """strtol(text, NULL, 16) where long is 32 bits wide."""
    match = re.match(rb"[ \t\n\x0b\x0c\r]*([+-]?)(?:0[xX](?=[0-9a-fA-F]))?([0-9a-fA-F]*)", text)
    sign, digits = match.groups()
    value = int(digits, 16) if digits else 0
    if sign == b"-":
        value = -value
    return max(-(1 << 31), min((1 << 31) - 1, value))


def derived_address(serial):
    value = serial_value(serial[:SERIAL_TEXT_MAX]) & 0xFFFFFFFF
    return PREFIX + value.to_bytes(4, "big")[1:]


def dump(label, data):
    """The tool's hex dump: a title, 16 bytes a line, a blank line after a
    short last line."""
    out = f"[ {label} [{len(data) % 0x10000:x}]]\n".encode()
    for start in range(0, len(data), 16):
        row = data[start:start + 16]
        hex_column = "".join(f"{b:02x} " for b in row).ljust(48)
        text_column = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in row)
        out += f"{hex_column} {text_column}\n".encode()
    if len(data) % 16:
        out += b"\n"
    return out


# The steps of a rewrite that can fail, in their order, and the line each
# failure adds after the commands' output.
STEPS = {step: f"{step} {PARTITION} failed!\n".encode()
         for step in ("erasing", "writing", "verifying")}


@dataclass
class Expected:
    stdout: bytes
    status: int
    written: bytes | None  # the image the tool writes to the working file, if any
    after: tuple = ()  # lines among and after the commands' output, in order


def run(dumped, serial, dump_failed=False, *, refused=False, failed=(), dry_run=False):
    """The report and outcome of a run whose working file holds `dumped`
    after the dump; serial is the serial-id entry's bytes (None: there is no
    such entry). The report ends where the tool starts writing: the commands'
    output and their failures follow. failed names the rewrite's steps that
    failed (STEPS).

    The status says whether the partition holds the box's address at the end:
    a failed dump (dd failed, or the dump met uncorrectable ECC errors) is
    never flashed nor trusted, and is reported whether or not the addresses
    agree; a partition that cannot take the write-back (refused: its first
    erase block is bad, or it is not writable) gets a line in the same place
    and nothing is written; these, a failed step and a serial id that cannot
    be read end with status 1. A dry run stops where the rewrite would start,
    with status 1."""
    if set(failed) - STEPS.keys():
        raise ValueError(f"no such step: {failed}")
    failure = 1
    if len(dumped) < CHECKSUM_AT:
        return Expected(f"reading {WORKING_FILE} failed!({CHECKSUM_AT} > {len(dumped)})\n"
                        .encode(), 254, None)
    image = (dumped[:IMAGE_SIZE] + bytes(IMAGE_SIZE))[:IMAGE_SIZE]
    out = dump("MAC Par", image[:BLOCK_SIZE])
    computed, stored = checksum(image), image[CHECKSUM_AT]
    if computed == stored:
        out += f"MAC ADDRESS CHECKSUM SUCCESS!({computed:x},{stored:x})\n".encode()
    else:
        out += f"MAC ADDRESS CHECKSUM FAILED!({computed:x},{stored:x})\n".encode()
        out += f"verify {WORKING_FILE} failed!\n".encode()
        image = template()
    flash = entry(image, REFERENCE_ENTRY)
    out += f"FLASH MAC - {mac_text(flash)}\n".encode()

    if serial is None:
        return Expected(out + f"making {SERIAL_ID} failed!\n".encode(), failure, None)
    text = serial[:SERIAL_TEXT_MAX]
    if not text:
        return Expected(out + f"reading {SERIAL_ID} failed!\n".encode(), failure, None)
    value = serial_value(text)
    out += b"serialid = " + text + b"\n"
    out += f"serialid = {value & 0xFFFFFFFF:x}, {value}\n".encode()
    derived = derived_address(serial)
    out += f"PROC MAC - {mac_text(derived)}\n".encode()
    if dump_failed:
        return Expected(out + f"reading {PARTITION} failed!\n".encode(), failure, None)
    if derived == flash:
        return Expected(out, 0, None)
    if refused:
        return Expected(out + f"checking {PARTITION} failed!\n".encode(), failure, None)
    if dry_run:
        return Expected(out, failure, None)

    new = with_address(image, derived)
    out += f"set_checksum() = {new[CHECKSUM_AT]:02x}\n".encode()
    out += dump("New MAC Par", new[:BLOCK_SIZE])
    after = tuple(line for step, line in STEPS.items() if step in failed)
    return Expected(out, failure if after else 0, new, after)
