# SPDX-License-Identifier: MIT
"""Figures of one run of the tool in the simulated box, for a box whose flash
already holds its address (no write) and for one that must be rewritten:

  instructions   executed by the tool's process alone (callgrind, children
                 not traced): dynamic loader, C library start-up, stdio, tool
  peak RSS       the tool's process alone (VmHWM at its exit)
  own CPU        the tool's process alone, its commands excluded, against the
                 run's wall time; /bin/true measured the same way for scale
  heap allocs    memcheck's count (all of them the C library's stdio)
  erases, bytes  flash_eraseall runs and bytes dd wrote to the partition
  wall time      median of the whole run against a baseline script that runs
                 only the commands the run needs, alternated in the same run

    scripts/bench [--binary build/release/mtdmac] [--repeat 11]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

import model
import simbox
from scenarios import DERIVED, OTHER, SERIAL_ID

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PARTITION_SIZE = 2 * model.IMAGE_SIZE

DUMP = f"sync\n{model.DUMP}\nsync\nsync\nsync\n"
REWRITE = DUMP + f"sync\n{model.ERASE}\n{model.WRITE_BACK}\nsync\nsync\nsync\n"


def partition_bytes_written(run):
    """Bytes each dd into the partition reported, in the order the commands ran."""
    copied = [int(n) for n in re.findall(rb"^(\d+) bytes .*copied", run.stderr, re.M)]
    dds = [c for c, _ in run.commands if c.startswith("dd ")]
    return sum(n for c, n in zip(dds, copied) if c == model.WRITE_BACK)


def measure(binary, name, flash_mac, baselines, repeat, scratch):
    def box():
        return simbox.Box(partition=model.partition(flash_mac, PARTITION_SIZE),
                          serial_id=SERIAL_ID)

    log = os.path.join(scratch, "valgrind.log")
    box().run(binary, wrapper=["valgrind", "--tool=callgrind", "--trace-children=no",
                               f"--callgrind-out-file={scratch}/callgrind.out",
                               f"--log-file={log}"])
    instructions = int(re.search(r"Collected : (\d+)", open(log).read()).group(1))
    box().run(binary, wrapper=["valgrind", f"--log-file={log}"])
    allocs = re.search(r"total heap usage: ([\d,]+) allocs", open(log).read()).group(1)

    # The box has a /tmp of its own, so a checkout under the host's /tmp is not
    # there: the box runs a copy of the meter from the scratch folder.
    meter = shutil.copy(os.path.join(ROOT, "scripts", "lib", "own_usage.py"), scratch)

    def usage_of(program):
        usage = os.path.join(scratch, "usage")
        box().run(program, wrapper=[sys.executable, meter, usage])
        return [int(v) for v in open(usage).read().split()]

    samples = [usage_of(binary) for _ in range(5)]
    cpu_ns = statistics.median(s[0] for s in samples)
    hwm_kb = max(s[1] for s in samples)
    # What starting and ending any process costs on this machine, for scale.
    floor_ns = statistics.median(usage_of("/bin/true")[0] for _ in range(5))

    walls = []
    base = {label: [] for label, _ in baselines}
    for _ in range(repeat):
        run = box().run(binary)
        walls.append(run.tools[0].seconds)
        for label, script in baselines:
            base[label].append(box().run(script).tools[0].seconds)
    wall = statistics.median(walls)
    erases = sum(1 for c, _ in run.commands if c == model.ERASE)
    written = partition_bytes_written(run)

    print(f"\n{name}  ({run.stdout.count(b'New MAC Par') and 'rewrote the block' or 'left the flash alone'})")
    print(f"  instructions (tool only)   {instructions:>12,}")
    print(f"  heap allocations           {allocs:>12}")
    print(f"  peak RSS (tool only)       {hwm_kb:>9,} kB")
    print(f"  own CPU time, median of 5  {cpu_ns / 1e6:>9.3f} ms  = {100 * cpu_ns / 1e9 / wall:.2f} % "
          "of the run's wall time")
    print(f"    /bin/true alone          {floor_ns / 1e6:>9.3f} ms  = {100 * floor_ns / 1e9 / wall:.2f} % "
          "(process start and exit on this machine)")
    print(f"  flash erases               {erases:>12}")
    print(f"  bytes written to flash     {written:>12,}")
    print(f"  wall time, median of {repeat:<3}  {wall * 1000:>9.1f} ms")
    for label, _ in baselines:
        median = statistics.median(base[label])
        print(f"  baseline {label:<17} {median * 1000:>9.1f} ms  ratio {wall / median:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", default=os.path.join(ROOT, "build", "release", "mtdmac"))
    parser.add_argument("--repeat", type=int, default=11)
    args = parser.parse_args()
    if not os.path.exists(args.binary):
        subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "release"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    print(f"binary: {os.path.relpath(os.path.realpath(args.binary), ROOT)}, "
          f"{os.path.getsize(args.binary):,} bytes")
    with tempfile.TemporaryDirectory(prefix="mtdmac-bench-", dir="/var/tmp") as scratch:
        scripts = []
        for label, text in (("dump only", DUMP), ("rewrite commands", REWRITE)):
            path = os.path.join(scratch, label.replace(" ", "-") + ".sh")
            with open(path, "w") as f:
                f.write("#!/bin/sh\n" + text)
            os.chmod(path, 0o755)
            scripts.append((label, path))
        measure(args.binary, "no-write run", DERIVED, scripts[:1], args.repeat, scratch)
        measure(args.binary, "rewrite run", OTHER, scripts, args.repeat, scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
