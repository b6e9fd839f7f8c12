#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The meter of scripts/bench, which runs it inside the simulated box; it needs
nothing but Python, so that a copy of it runs from anywhere.

    own_usage.py OUT PROGRAM [ARG...]   (OUT gets "CPU-ns peak-RSS-kB")
"""

import ctypes
import os
import re
import sys


def own_usage(out_path, argv):
    """Runs argv traced only at its exec and its exit, and stores the CPU time
    and peak RSS of that one process, without the commands it starts."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    traceme, cont, setoptions, o_traceexit, event_exit = 0, 7, 0x4200, 0x40, 6

    # The simulated box's /proc lists no other process; reach the real one.
    proc = os.path.dirname(os.path.realpath("/proc/self"))

    def runtime_ns(pid):
        with open(f"{proc}/{pid}/schedstat") as f:
            return int(f.read().split()[0])

    pid = os.fork()
    if pid == 0:
        libc.ptrace(traceme, 0, None, None)
        os.execvp(argv[0], argv)
    os.waitpid(pid, 0)  # stopped at the exec, before the new program ran
    start = runtime_ns(pid)
    libc.ptrace(setoptions, pid, None, o_traceexit)
    libc.ptrace(cont, pid, None, None)
    while True:
        _, status = os.waitpid(pid, 0)
        if os.WIFEXITED(status):
            return os.WEXITSTATUS(status)
        if os.WIFSIGNALED(status):
            return 128 + os.WTERMSIG(status)
        signal = os.WSTOPSIG(status)
        if status >> 16 == event_exit:
            with open(f"{proc}/{pid}/status") as f:
                hwm = int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))
            with open(out_path, "w") as f:
                f.write(f"{runtime_ns(pid) - start} {hwm}\n")
            signal = 0
        libc.ptrace(cont, pid, None, ctypes.c_void_p(signal))


if __name__ == "__main__":
    sys.exit(own_usage(sys.argv[1], sys.argv[2:]))
