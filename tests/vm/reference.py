"""What a run of mtdmac must print and leave in the partition, worked out from
the block format and the run's steps, independently of the tool's code.

The commands' own output is not the tool's: expected reports hold COMMANDS
where the tool runs commands, and match_report() accepts any lines there that
are not the tool's own.
"""

import re

IMAGE_SIZE = 0x10000
BLOCK_SIZE = 148
CHECKSUM_AT = 140
REFERENCE_ENTRY = 3
ENTRIES = 8
HEADER = bytes(7) + b"\x84" + bytes(4)
PREFIX = bytes([0x02, 0xC4, 0x7A])

COMMANDS = object()  # where dd and flash_eraseall print whatever they print

# The tool's own lines that must never show up among the commands' output.
TOOL_FAILURES = ("erasing /dev/mtd3 failed!", "writing /dev/mtd3 failed!",
                 "making /tmp/mac.bin failed!", "writing /tmp/mac.bin failed!",
                 "closing /tmp/mac.bin failed!")


def checksum(image):
    return sum(image[:CHECKSUM_AT]) & 0xFF


def entry(image, index):
    at = 12 + 8 * index
    return bytes(image[at:at + 6])


def with_checksum(image):
    image = bytearray(image)
    image[CHECKSUM_AT] = image[CHECKSUM_AT + 1] = checksum(image)
    return image


def block(addresses, header=HEADER, filler=b"", good=True):
    """A block image of 148 bytes: eight entries, the rest from filler."""
    image = bytearray((filler + b"\xff" * BLOCK_SIZE)[:BLOCK_SIZE])
    image[:12] = header
    for i, address in enumerate(addresses):
        image[12 + 8 * i:20 + 8 * i] = bytes(address) + b"\0\0"
    image = with_checksum(image)
    if not good:
        image[CHECKSUM_AT] ^= 0x5A
    return bytes(image)


def template():
    return HEADER + b"\xff" * (IMAGE_SIZE - len(HEADER))


def mac_text(address):
    return ":".join(f"{octet:02X}" for octet in address)


def hex_dump(label, data):
    lines = [f"[ {label} [{len(data):x}]]\n"]
    for at in range(0, len(data), 16):
        row = data[at:at + 16]
        hex_col = "".join(f"{b:02x} " for b in row).ljust(48)
        text = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in row)
        lines.append(f"{hex_col} {text}\n" + ("\n" if len(row) < 16 else ""))
    return "".join(lines)


def strtol16(text):
    """strtol(text, 0, 16) with a 32-bit long."""
    s = text.lstrip(" \t\n\v\f\r")
    negative = s[:1] == "-"
    if s and s[0] in "+-":
        s = s[1:]
    if s[:2] in ("0x", "0X") and s[2:3] and s[2] in "0123456789abcdefABCDEF":
        s = s[2:]
    digits = re.match(r"[0-9a-fA-F]*", s).group(0)
    value = int(digits, 16) if digits else 0
    value = -value if negative else value
    return max(-(1 << 31), min(value, (1 << 31) - 1))


def expected_run(partition, serial_id):
    """The tool's report (a list of text and COMMANDS), its exit status and
    the partition afterwards, for a partition of at least 140 bytes."""
    image = bytearray((partition + bytes(IMAGE_SIZE))[:IMAGE_SIZE])
    report = [COMMANDS, hex_dump("MAC Par", image[:BLOCK_SIZE])]
    stored = image[CHECKSUM_AT]
    if checksum(image) == stored:
        report.append(f"MAC ADDRESS CHECKSUM SUCCESS!({checksum(image):x},{stored:x})\n")
    else:
        report.append(f"MAC ADDRESS CHECKSUM FAILED!({checksum(image):x},{stored:x})\n"
                      "verify /tmp/mac.bin failed!\n")
        image = bytearray(template())
    flash_mac = entry(image, REFERENCE_ENTRY)
    report.append(f"FLASH MAC - {mac_text(flash_mac)}\n")
    if serial_id is None:
        report.append("making /proc/stb/info/serialid failed!\n")
        return report, 0, partition
    if not serial_id:
        report.append("reading /proc/stb/info/serialid failed!\n")
        return report, 0, partition
    text = serial_id[:20].decode("latin-1")
    value = strtol16(text)
    report.append(f"serialid = {text}\n")
    report.append(f"serialid = {value & 0xFFFFFFFF:x}, {value}\n")
    derived = PREFIX + (value & 0xFFFFFF).to_bytes(3, "big")
    report.append(f"PROC MAC - {mac_text(derived)}\n")
    if derived == flash_mac:
        return report, 0, partition
    for i in range(ENTRIES):
        image[12 + 8 * i:20 + 8 * i] = derived + b"\0\0"
    image = with_checksum(image)
    report.append(f"set_checksum() = {image[CHECKSUM_AT]:02x}\n")
    report.append(hex_dump("New MAC Par", image[:BLOCK_SIZE]))
    report.append(COMMANDS)
    return report, 0, bytes(image) + partition[IMAGE_SIZE:]


def match_report(actual, expected):
    """None when actual is the expected report, else what differs."""
    pattern = "".join("(.*?)" if part is COMMANDS else re.escape(part) for part in expected)
    m = re.fullmatch(pattern, actual, re.DOTALL)
    if m is None:
        return "the tool's own lines differ"
    for output in m.groups():
        for line in output.splitlines():
            if line in TOOL_FAILURES or line.startswith(("MAC ", "FLASH MAC", "PROC MAC")):
                return f"the tool's line {line!r} among the commands' output"
    return None
