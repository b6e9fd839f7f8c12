"""What one run of the tool must print and write, from the documented formats.

Written from the block layout, the dump format and the report lines as the
README and the tool's documentation describe them, without looking at the
C++ code, so that the end-to-end tests do not just replay the tool.
"""

import re
from dataclasses import dataclass

IMAGE_SIZE = 0x10000
BLOCK_SIZE = 148
CHECKED = 140  # bytes 0 to 139 are summed; byte 140 holds the sum
HEADER = bytes(7) + b"\x84" + bytes(4)
PREFIX = b"\x02\xc4\x7a"
REFERENCE_ENTRY = 3
SERIAL_TEXT_MAX = 20


def checksum(data):
    return sum(data[:CHECKED]) % 256


def entry_offset(index):
    return 12 + 8 * index


def mac_text(mac):
    return ":".join(f"{b:02X}" for b in mac)


def dump(label, data):
    out = f"[ {label} [{len(data) % 0x10000:x}]]\n".encode()
    for start in range(0, len(data), 16):
        row = data[start:start + 16]
        hex_column = "".join(f"{b:02x} " for b in row).ljust(48)
        text_column = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in row)
        out += f"{hex_column} {text_column}\n".encode()
    if len(data) % 16:
        out += b"\n"
    return out


def template():
    return HEADER + b"\xff" * (IMAGE_SIZE - len(HEADER))


def with_address(image, mac):
    """The image with mac in every entry and a fresh checksum at 140 and 141."""
    new = bytearray(image)
    for i in range(8):
        new[entry_offset(i):entry_offset(i) + 8] = mac + b"\0\0"
    new[140] = new[141] = checksum(new)
    return bytes(new)


def block(mac, header=b"\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc", filler=b"\xa5"):
    """A block with a good checksum, mac in every entry, and 148 bytes long."""
    base = header + bytes(64) + filler * 64 + bytes(8)
    return with_address(base, mac)


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


@dataclass
class Expected:
    stdout: bytes
    status: int
    written: bytes | None  # the image the tool writes to the working file, if any


def run(dumped, serial):
    """The report and outcome for a working file holding `dumped` after the dump.

    serial is the serial-id file's bytes, or None when there is no such file.
    """
    if len(dumped) < CHECKED:
        return Expected(f"reading /tmp/mac.bin failed!(140 > {len(dumped)})\n".encode(), 254, None)
    image = (dumped[:IMAGE_SIZE] + bytes(IMAGE_SIZE))[:IMAGE_SIZE]
    out = dump("MAC Par", image[:BLOCK_SIZE])
    computed, stored = checksum(image), image[CHECKED]
    if computed == stored:
        out += f"MAC ADDRESS CHECKSUM SUCCESS!({computed:x},{stored:x})\n".encode()
    else:
        out += f"MAC ADDRESS CHECKSUM FAILED!({computed:x},{stored:x})\n".encode()
        out += b"verify /tmp/mac.bin failed!\n"
        image = template()
    flash = image[entry_offset(REFERENCE_ENTRY):entry_offset(REFERENCE_ENTRY) + 6]
    out += f"FLASH MAC - {mac_text(flash)}\n".encode()

    if serial is None:
        return Expected(out + b"making /proc/stb/info/serialid failed!\n", 0, None)
    text = serial[:SERIAL_TEXT_MAX]
    if not text:
        return Expected(out + b"reading /proc/stb/info/serialid failed!\n", 0, None)
    value = serial_value(text)
    out += b"serialid = " + text + b"\n"
    out += f"serialid = {value & 0xFFFFFFFF:x}, {value}\n".encode()
    derived = derived_address(serial)
    out += f"PROC MAC - {mac_text(derived)}\n".encode()
    if derived == flash:
        return Expected(out, 0, None)

    new = with_address(image, derived)
    out += f"set_checksum() = {new[140]:02x}\n".encode()
    out += dump("New MAC Par", new[:BLOCK_SIZE])
    return Expected(out, 0, new)


def documented_examples():
    """The worked examples of the documentation, as (what, got, documented)."""
    erased = b"\xff" * BLOCK_SIZE
    return [
        ("sum of an erased block", checksum(erased), 0x74),
        ("sum of the template", checksum(template()), 0x04),
        ("0012abcd", serial_value(b"0012abcd\n"), 0x12ABCD),
        ("1ff123456", serial_value(b"1ff123456"), 0x7FFFFFFF),
        ("80000000", serial_value(b"80000000"), 0x7FFFFFFF),
        ("-1", serial_value(b"-1"), -1),
        ("no digits", serial_value(b"serial"), 0),
        ("address of 0012abcd", mac_text(derived_address(b"0012abcd\n")), "02:C4:7A:12:AB:CD"),
        ("148-byte dump", dump("MAC Par", bytes(BLOCK_SIZE)).count(b"\n"), 1 + 10 + 1),
        ("16-byte dump", dump("x", bytes(16)).count(b"\n"), 2),
        ("17-byte dump tail", dump("x", b"A" * 17).splitlines()[2], b"41" + b" " * 47 + b"A"),
    ]
