# SPDX-License-Identifier: MIT
"""What both boxes share: the box's serial id, the other box's address, and
the scenarios that the simulated box (tests/e2e) and the virtual box
(tests/vm) both run. Each box must give the result the model derives for
every scenario; a box's own tests add only what that box alone can show.
"""

import difflib
import re
from dataclasses import dataclass

import model

SERIAL_ID = b"0012abcd\n"
DERIVED = model.derived_address(SERIAL_ID)  # 02:C4:7A:12:AB:CD
OTHER = bytes.fromhex("001122334455")  # the address another box left

SIZE = model.IMAGE_SIZE
# A tail past the image, in whole erase blocks of NOR (64 KiB) and NAND.
LARGE = 3 * SIZE


def corrupt(partition):
    """The partition with the block's checksum off by one."""
    data = bytearray(partition)
    data[model.CHECKSUM_AT] ^= 0x01
    return bytes(data)


def reference_entry_only(mac, size):
    """A block that verifies, the box's address in the reference entry alone."""
    addresses = [bytes([0x02, 0xC4, 0x7A, i, i, i]) for i in range(model.ENTRIES)]
    addresses[model.REFERENCE_ENTRY] = mac
    background = model.partition(OTHER, size)
    return model.block(addresses, header=background[:12], background=background) + \
        background[model.BLOCK_SIZE:]


@dataclass(frozen=True)
class Scenario:
    name: str
    what: str  # what the box holds, and what the tool must do with it
    partition: bytes
    serial_id: bytes | None = SERIAL_ID  # None: the box has no serial-id entry


SCENARIOS = [
    Scenario("correct_block", "the box's address in every entry: nothing is written",
             model.partition(DERIVED, SIZE)),
    Scenario("reference_entry_only", "the box's address in the reference entry alone: nothing "
             "is written", reference_entry_only(DERIVED, SIZE)),
    Scenario("other_address", "another box's address: every entry is rewritten",
             model.partition(OTHER, SIZE), b"1a2b3c4d\n"),
    Scenario("corrupt_block", "a block that fails its checksum: the template with the box's "
             "address", corrupt(model.partition(OTHER, SIZE))),
    Scenario("erased_partition", "erased flash: the template with the box's address",
             b"\xff" * SIZE, b"00fe01ff\n"),
    Scenario("zero_partition", "zeros, whose sum verifies: every entry is rewritten",
             bytes(SIZE)),
    Scenario("large_other_address", "another box's address before a tail past 64 KiB, which "
             "comes through the rewrite", model.partition(OTHER, LARGE)),
    Scenario("large_corrupt_block", "a block that fails its checksum before a tail past 64 KiB",
             corrupt(model.partition(OTHER, LARGE))),
    Scenario("missing_serial_id", "no serial-id entry: nothing is written",
             model.partition(OTHER, SIZE), None),
    Scenario("empty_serial_id", "an empty serial-id entry: nothing is written",
             model.partition(OTHER, SIZE), b""),
]


def after(partition, serial_id=SERIAL_ID):
    """The model's outcome of a run on the partition, and the partition it leaves."""
    expected = model.run(partition, serial_id)
    if expected.written is None:
        return expected, partition
    return expected, (expected.written + partition[SIZE:])[:len(partition)]


# A box whose dd and flash_eraseall print what they like: the report is the
# tool's lines with the commands' output wherever the tool runs one.
COMMANDS = object()
TOOL_LINE = re.compile(r"(MAC |FLASH MAC|PROC MAC|serialid = |set_checksum|\[ |"
                       r"\w+ /\S+ failed!)")


def report_parts(expected):
    """The report the model expects, with COMMANDS wherever the commands
    print: before the tool's lines, and around each line after them."""
    parts = [COMMANDS, expected.stdout.decode("latin-1")]
    if expected.written is not None:
        parts.append(COMMANDS)
        for line in expected.after:
            parts += [line.decode("latin-1"), COMMANDS]
    return parts


def report_problem(actual, expected):
    """None when the report `actual` (text) is the model's `expected` run,
    the commands' output aside; else what differs, with a diff."""
    parts = report_parts(expected)
    pattern = "".join("(.*?)" if p is COMMANDS else re.escape(p) for p in parts)
    m = re.fullmatch(pattern, actual, re.DOTALL)
    if m is None:
        problem = "the tool's own lines differ"
    else:
        lines = [line for output in m.groups() for line in output.splitlines()]
        wrong = [line for line in lines if TOOL_LINE.match(line)]
        if not wrong:
            return None
        problem = f"the tool's line {wrong[0]!r} among the commands' output"
    shown = "".join("<commands' output>\n" if p is COMMANDS else p for p in parts)
    return problem + "\n" + "".join(difflib.unified_diff(
        shown.splitlines(True), actual.splitlines(True), "expected", "actual"))
