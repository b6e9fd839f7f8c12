# SPDX-License-Identifier: MIT
"""What a run of mtdmac must print and leave in the partition on the virtual
box. The formats come from the model of the tool (box/sim/model.py); this
layer adds what differs on a real box: the commands' own output sits among
the tool's lines, and the partition keeps whatever lies past the image.

Expected reports hold COMMANDS where the tool runs commands, and
match_report() accepts any lines there that are not the tool's own.
"""

import re

from model import IMAGE_SIZE, run

COMMANDS = object()  # where dd and flash_eraseall print whatever they print

# The tool's own lines that must never show up among the commands' output.
TOOL_FAILURES = ("erasing /dev/mtd3 failed!", "writing /dev/mtd3 failed!",
                 "making /tmp/mac.bin failed!", "writing /tmp/mac.bin failed!",
                 "closing /tmp/mac.bin failed!")


def expected_run(partition, serial_id):
    """The tool's report (a list of text and COMMANDS), its exit status and
    the partition afterwards, for a partition of at least 140 bytes."""
    expected = run(partition, serial_id)
    report = [COMMANDS, expected.stdout.decode("latin-1")]
    if expected.written is None:
        return report, expected.status, partition
    return report + [COMMANDS], expected.status, expected.written + partition[IMAGE_SIZE:]


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
