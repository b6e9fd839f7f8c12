#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A simulated box: runs an unchanged mtdmac binary as a box would, in a
private mount namespace whose /tmp is a small tmpfs, whose /dev holds the
partition mtd3 as a regular file and whose /proc holds the serial-id entry,
with the box's own dd and flash_eraseall first in PATH. README.md beside
this file describes the box, its faults, the Python API and the command line.
"""

import argparse
import ctypes
import json
import os
import re
import selectors
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

import model
from model import PARTITION, SERIAL_ID, WORKING_FILE

COMMANDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "commands")

# What may stand at the working file's name before the tool runs; "commands":
# another user's dd and flash_eraseall in /tmp.
PLANTS = ("symlink", "hardlink", "fifo", "foreign", "user-symlinks", "user-renames", "commands")
# What happens right after flash_eraseall has erased, before it prints: the
# tool gets SIGTERM, its process group SIGHUP, or the reader of its standard
# output goes away.
AFTER_ERASE = ("term", "hup-group", "reader-gone")
FIFO = "fifo"  # a serial_id: a FIFO that no one writes to
VICTIM_PATH = "/tmp/victim"  # a file of the box's that a planted link leads to
VICTIM = b"a file of the box that no run of the tool may change\n" * 64
OTHER_USER = 1000  # not root: the one who plants

# Environment the box gives the tool, plus what sanitizers and emulators read.
BOX_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
PASSED_ENV_PREFIXES = ("ASAN_", "UBSAN_", "LSAN_", "QEMU_", "VALGRIND_")


class BoxError(Exception):
    """The box itself could not be set up or run (not a failure of the tool)."""


@dataclass
class ToolRun:
    stdout: bytes
    stderr: bytes
    status: int | None  # exit status; None when killed by a signal
    signal: int | None
    seconds: float


@dataclass
class Run:
    tools: list
    partition: bytes | None
    working_file: bytes | None
    commands: list
    power_cut: bool
    tmp_files: list = field(default_factory=list)
    working_stat: tuple | None = None  # (owner, mode, links) of what is at the working file's name
    victim: bytes | None = None  # the planted link's target afterwards

    @property
    def stdout(self):
        return self.tools[0].stdout

    @property
    def stderr(self):
        return self.tools[0].stderr

    @property
    def status(self):
        return self.tools[0].status


def strip_dd_timing(text):
    """Drops the time and rate from dd's summary lines, which vary per run."""
    if isinstance(text, bytes):
        return re.sub(rb"( copied), [^\n]*", rb"\1", text)
    return re.sub(r"( copied), [^\n]*", r"\1", text)


@dataclass
class Box:
    partition: bytes | None = None
    serial_id: bytes | None = None
    working_file: bytes | None = None
    tmp_size: int = 1 << 20

    def run(self, binary, argv=(), wrapper=(), *, erase_fault=None, erase_seconds=0,
            read_cut=None, write_cut=None, power_cut=False, plant=None, stdout="pipe", copies=1,
            start_gap=0, tmp_mode=0o1777, tmp_owner=0, after_erase=None, closed=(), cwd="/",
            timeout=120, env=None):
        if erase_fault not in (None, "before", "after"):
            raise ValueError(f"erase_fault must be None, 'before' or 'after', not {erase_fault!r}")
        if plant not in (None, *PLANTS):
            raise ValueError(f"plant must be None or one of {PLANTS}, not {plant!r}")
        if plant and self.working_file is not None:
            raise ValueError("a box with a working file has nothing else at its name")
        if stdout not in ("pipe", "file"):
            raise ValueError(f"stdout must be 'pipe' or 'file', not {stdout!r}")
        if after_erase not in (None, *AFTER_ERASE):
            raise ValueError(f"after_erase must be None or one of {AFTER_ERASE}")
        if after_erase and copies != 1:
            raise ValueError("after_erase acts on one tool")
        if after_erase == "reader-gone" and stdout != "pipe":
            raise ValueError("a reader that goes away needs stdout='pipe'")
        if self.tmp_size <= 0:
            raise ValueError("tmp_size must be positive (a tmpfs of size 0 has no limit)")
        if power_cut and write_cut is None:
            raise ValueError("power_cut needs write_cut: the byte count at which power goes")
        if isinstance(wrapper, str):
            wrapper = shlex.split(wrapper)
        scratch = tempfile.mkdtemp(prefix="simbox-", dir=_scratch_parent())
        try:
            config = {
                "binary": _visible_binary(binary, scratch),
                "argv": [str(a) for a in argv],
                "wrapper": list(wrapper),
                "erase_fault": erase_fault,
                "erase_seconds": erase_seconds,
                "read_cut": read_cut,
                "plant": plant,
                "write_cut": write_cut,
                "power_cut": power_cut,
                "stdout": stdout,
                "copies": copies,
                "start_gap": start_gap,
                "tmp_size": self.tmp_size,
                "tmp_mode": tmp_mode,
                "tmp_owner": tmp_owner,
                "after_erase": after_erase,
                "closed": list(closed),
                "cwd": cwd,
                "serial_fifo": self.serial_id == FIFO,
                "timeout": timeout,
                "env": dict(env or {}),
            }
            _prepare_scratch(scratch, config, self)
            result = _enter_namespace(scratch, timeout)
            run = _collect(scratch, result)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        self.partition = run.partition
        self.working_file = None if run.power_cut else run.working_file
        return run


# ---------------------------------------------------------------- host side


def _scratch_parent():
    # Not under /tmp, /dev or /proc: the namespace covers those.
    parent = os.environ.get("SIMBOX_SCRATCH", "/var/tmp")
    if _shadowed(parent):
        raise BoxError(f"SIMBOX_SCRATCH={parent} lies under a folder the box replaces")
    os.makedirs(parent, exist_ok=True)
    return parent


def _shadowed(path):
    path = os.path.realpath(path)
    return any(path == p or path.startswith(p + "/") for p in ("/tmp", "/dev", "/proc"))


def _visible_binary(binary, scratch):
    path = os.path.realpath(binary)
    if not os.path.isfile(path):
        raise BoxError(f"no binary at {binary}")
    if _shadowed(path):
        # The box's own /tmp would hide it; the box runs a copy of the same bytes.
        copy = os.path.join(scratch, "bin", "tool", os.path.basename(path))
        os.makedirs(os.path.dirname(copy))
        shutil.copy2(path, copy)
        return copy
    return path


def _prepare_scratch(scratch, config, box):
    for name in ("bin", "in", "out", "mnt"):
        os.makedirs(os.path.join(scratch, name), exist_ok=True)
    with open(os.path.join(scratch, "config.json"), "w") as f:
        json.dump(config, f)
    for name, data in (("partition", box.partition), ("serialid", box.serial_id),
                       ("working", box.working_file)):
        if data is not None and data is not FIFO:
            with open(os.path.join(scratch, "in", name), "wb") as f:
                f.write(data)
    _write_box_commands(scratch, config)


def _enter_namespace(scratch, timeout):
    if os.geteuid() == 0:
        prefix = ["unshare", "--mount", "--propagation", "private"]
    else:
        prefix = ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]
    command = prefix + [sys.executable, "-S", os.path.abspath(__file__), "inner", scratch]
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout + 30)
    except FileNotFoundError:
        raise BoxError("unshare not found: install util-linux") from None
    result_path = os.path.join(scratch, "out", "result.json")
    if not os.path.exists(result_path):
        message = done.stderr.decode(errors="replace").strip()
        hint = ""
        if os.geteuid() != 0:
            hint = (" (as a normal user the box needs unprivileged user namespaces:"
                    " sysctl kernel.unprivileged_userns_clone=1; or run as root)")
        raise BoxError(f"the box could not start: {message or 'no reason given'}{hint}")
    with open(result_path) as f:
        result = json.load(f)
    if "error" in result:
        raise BoxError(result["error"])
    return result


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def _collect(scratch, result):
    out = os.path.join(scratch, "out")
    tools = []
    for i, tool in enumerate(result["tools"]):
        tools.append(ToolRun(stdout=_read(os.path.join(out, f"{i}.stdout")) or b"",
                             stderr=_read(os.path.join(out, f"{i}.stderr")) or b"",
                             status=tool["status"], signal=tool["signal"],
                             seconds=tool["seconds"]))
    commands = []
    log = _read(os.path.join(scratch, "commands.log")) or b""
    for line in log.decode().splitlines():
        status, command = line.split("\t", 1)
        commands.append((command, None if status == "-" else int(status)))
    stat = result["working_stat"]
    return Run(tools=tools, partition=_read(os.path.join(out, "partition")),
               working_file=_read(os.path.join(out, "working")), commands=commands,
               power_cut=result["power_cut"], tmp_files=result["tmp_files"],
               working_stat=tuple(stat) if stat else None,
               victim=_read(os.path.join(out, "victim")))


# ------------------------------------------------------ inside the namespace

MS_NOSUID, MS_NODEV, MS_BIND, MS_MOVE, MS_REC = 0x2, 0x4, 0x1000, 0x2000, 0x4000


def _mount(source, target, fstype, flags, data=None):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(source.encode() if source else None, target.encode(),
                  fstype.encode() if fstype else None, ctypes.c_ulong(flags),
                  data.encode() if data else None) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"mount {source or fstype} on {target}: {os.strerror(errno)}")


def _write(path, data, mode=None):
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)


def _build_box(scratch, config):
    mnt = os.path.join(scratch, "mnt")
    new_tmp, new_dev, new_proc, real_proc = (os.path.join(mnt, n)
                                             for n in ("tmp", "dev", "proc", "realproc"))
    for d in (new_tmp, new_dev, new_proc, real_proc):
        os.mkdir(d)
    inputs = os.path.join(scratch, "in")

    _mount("tmpfs", new_tmp, "tmpfs", MS_NOSUID | MS_NODEV,
           f"size={config['tmp_size']},mode={config['tmp_mode']:o}")
    if config["tmp_owner"]:
        os.chown(new_tmp, config["tmp_owner"], config["tmp_owner"])
    working = _read(os.path.join(inputs, "working"))
    if working is not None:
        _write(new_tmp + WORKING_FILE[len("/tmp"):], working)
    if config["plant"]:
        _plant(new_tmp, config["plant"])

    _mount("tmpfs", new_dev, "tmpfs", MS_NOSUID, "mode=0755")
    for name in ("null", "zero", "urandom"):
        _write(os.path.join(new_dev, name), b"", 0o666)
        _mount(f"/dev/{name}", os.path.join(new_dev, name), None, MS_BIND)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join(new_dev, name))
    partition = _read(os.path.join(inputs, "partition"))
    if partition is not None:
        _write(new_dev + PARTITION[len("/dev"):], partition, 0o600)

    _mount("/proc", real_proc, None, MS_BIND | MS_REC)
    _mount("tmpfs", new_proc, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0555")
    for name in os.listdir(real_proc):
        if name != "stb" and not name.isdigit():
            os.symlink(os.path.join(real_proc, name), os.path.join(new_proc, name))
    serial = _read(os.path.join(inputs, "serialid"))
    path = new_proc + SERIAL_ID[len("/proc"):]
    if serial is not None or config["serial_fifo"]:
        os.makedirs(os.path.dirname(path))
    if serial is not None:
        _write(path, serial, 0o444)
    elif config["serial_fifo"]:
        os.mkfifo(path, 0o444)

    for source, target in ((new_tmp, "/tmp"), (new_dev, "/dev"), (new_proc, "/proc")):
        _mount(source, target, None, MS_MOVE)


def _plant(tmp, plant):
    name, victim = tmp + WORKING_FILE[len("/tmp"):], tmp + VICTIM_PATH[len("/tmp"):]
    _write(victim, VICTIM, 0o644)
    if plant == "symlink":
        os.symlink(VICTIM_PATH, name)
    elif plant == "hardlink":
        os.link(victim, name)
    elif plant == "fifo":
        os.mkfifo(name, 0o644)
    elif plant == "foreign":
        _write(name, VICTIM, 0o644)
        os.chown(name, OTHER_USER, OTHER_USER)
    elif plant == "commands":
        for command in ("dd", "flash_eraseall"):
            path = os.path.join(tmp, command)
            _write(path, b'#!/bin/sh\necho "$0 $*" >>' + VICTIM_PATH.encode() + b"\n", 0o755)
            if os.geteuid() == 0:
                os.chown(path, OTHER_USER, OTHER_USER)


def _start_planter(renames):
    """Another user, in a process of its own, links the working file's name to
    the victim again and again, as fast as it can, until it is killed: where
    the name is free, or (renames) by renaming a link of its own over it."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(OTHER_USER)
            os.setuid(OTHER_USER)
            # The C library's calls: no exception for each name found taken.
            libc = ctypes.CDLL(None)
            target, name = VICTIM_PATH.encode(), WORKING_FILE.encode()
            own = f"/tmp/.planter-{os.getpid()}".encode()
            while True:
                if renames:
                    libc.symlink(target, own)
                    libc.rename(own, name)
                else:
                    libc.symlink(target, name)
        finally:
            os._exit(1)
    while not os.path.islink(WORKING_FILE):
        if os.waitpid(pid, os.WNOHANG)[0]:
            raise BoxError("another user's process needs root outside the box")
        time.sleep(0.001)
    return pid


def _tool_env(config):
    env = {k: v for k, v in os.environ.items() if k.startswith(PASSED_ENV_PREFIXES)}
    env.update({"LC_ALL": "C", "HOME": "/"})
    env.update(config["env"])
    return env


def _run_tools(scratch, config):
    env = _tool_env(config)
    # A PATH the caller gives goes in front of the box's own.
    env["PATH"] = ":".join(p for p in (config["env"].get("PATH"), os.path.join(scratch, "bin"),
                                       BOX_PATH) if p)
    out = os.path.join(scratch, "out")
    command = config["wrapper"] + [config["binary"]] + config["argv"]
    real_proc = os.path.join(scratch, "mnt", "realproc")

    def link_own_proc():
        # LeakSanitizer reads /proc/<pid>/task of the tool: link it before the exec.
        pid = str(os.getpid())
        os.symlink(os.path.join(real_proc, pid), "/proc/" + pid)
        for fd in config["closed"]:
            os.close(fd)

    selector = selectors.DefaultSelector()
    buffers, procs, starts, reader = {}, [], [], None
    for i in range(config["copies"]):
        if i:
            time.sleep(config["start_gap"])
        if config["stdout"] == "file":
            stdout_w = os.open(os.path.join(out, f"{i}.stdout"), os.O_WRONLY | os.O_CREAT, 0o644)
        elif config["after_erase"] == "reader-gone":
            # A reader of its own, which flash_eraseall kills after the erase.
            stdout_r, stdout_w = os.pipe()
            with open(os.path.join(out, f"{i}.stdout"), "wb") as kept:
                reader = subprocess.Popen(["cat"], stdin=stdout_r, stdout=kept)
            os.close(stdout_r)
            _write(os.path.join(scratch, "reader"), f"{reader.pid}\n".encode())
        else:
            stdout_r, stdout_w = os.pipe()
            selector.register(stdout_r, selectors.EVENT_READ, (i, "stdout"))
        stderr_r, stderr_w = os.pipe()
        selector.register(stderr_r, selectors.EVENT_READ, (i, "stderr"))
        starts.append(time.monotonic())
        procs.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout_w,
                                      stderr=stderr_w, cwd=config["cwd"], env=env,
                                      start_new_session=True, preexec_fn=link_own_proc))
        os.close(stdout_w)
        os.close(stderr_w)
    # The power cut kills these groups: the tools and every command they run.
    groups = os.path.join(scratch, "groups")
    _write(groups + ".new", "".join(f"{p.pid}\n" for p in procs).encode())
    os.rename(groups + ".new", groups)

    deadline = time.monotonic() + config["timeout"]
    while selector.get_map():
        left = deadline - time.monotonic()
        if left <= 0:
            for p in procs:
                _kill_group(p.pid)
            raise BoxError(f"the tool did not finish within {config['timeout']} s")
        for key, _ in selector.select(left):
            data = os.read(key.fd, 65536)
            if data:
                buffers.setdefault(key.data, bytearray()).extend(data)
            else:
                selector.unregister(key.fd)
                os.close(key.fd)
    tools = []
    for i, p in enumerate(procs):
        code = p.wait(max(1, deadline - time.monotonic()))
        tools.append({"status": code if code >= 0 else None,
                      "signal": -code if code < 0 else None,
                      "seconds": time.monotonic() - starts[i]})
        for stream in ("stdout", "stderr"):
            if (i, stream) in buffers:
                _write(os.path.join(out, f"{i}.{stream}"), bytes(buffers[(i, stream)]))
    if reader:
        reader.kill()
        reader.wait()
    return tools


def _kill_group(pgid):
    try:
        os.killpg(pgid, 9)
    except ProcessLookupError:
        pass


def _inner(scratch):
    out = os.path.join(scratch, "out")
    try:
        with open(os.path.join(scratch, "config.json")) as f:
            config = json.load(f)
        _build_box(scratch, config)
        planter = None
        if config["plant"] in ("user-symlinks", "user-renames"):
            planter = _start_planter(config["plant"] == "user-renames")
        try:
            tools = _run_tools(scratch, config)
        finally:
            if planter:
                os.kill(planter, 9)
                os.waitpid(planter, 0)
        for name, path in (("partition", PARTITION), ("working", WORKING_FILE)):
            # Not a FIFO, which would wait for a writer.
            data = _read(path) if os.path.isfile(path) else None
            if data is not None:
                _write(os.path.join(out, name), data)
        try:
            stat = os.lstat(WORKING_FILE)
            working_stat = [stat.st_uid, stat.st_mode, stat.st_nlink]
        except FileNotFoundError:
            working_stat = None
        victim = _read(VICTIM_PATH)
        if victim is not None:
            _write(os.path.join(out, "victim"), victim)
        result = {"tools": tools, "tmp_files": sorted(os.listdir("/tmp")),
                  "working_stat": working_stat,
                  "power_cut": os.path.exists(os.path.join(scratch, "power-cut"))}
    except (OSError, BoxError, subprocess.SubprocessError) as e:
        result = {"error": f"inside the box: {e}"}
    with open(os.path.join(out, "result.json"), "w") as f:
        json.dump(result, f)


# ------------------------------------------------- the box's own commands

def erase_progress_line(size):
    """The line the box's flash_eraseall prints on standard output."""
    return f"Erasing {(size + 1023) // 1024} Kibyte @ 0 -- 100 % complete.\n".encode()


def _write_box_commands(scratch, config):
    # Shell, not Python: the tool runs them on every pass, and they must start fast.
    bin_dir = os.path.join(scratch, "bin")
    for name in ("dd", "flash_eraseall", "lib.sh"):
        shutil.copy2(os.path.join(COMMANDS, name), bin_dir)
    settings = {
        "box": scratch, "partition": PARTITION, "system_path": BOX_PATH,
        "erase_fault": config["erase_fault"] or "", "erase_seconds": config["erase_seconds"],
        "power_cut": int(config["power_cut"]), "after_erase": config["after_erase"] or "",
        "read_cut": "" if config["read_cut"] is None else int(config["read_cut"]),
        "write_cut": "" if config["write_cut"] is None else int(config["write_cut"]),
    }
    _write(os.path.join(bin_dir, "settings.sh"),
           "".join(f"{k}={shlex.quote(str(v))}\n" for k, v in settings.items()).encode())


# ------------------------------------------------------------ command line


def _bytes_arg(text):
    return text.encode().decode("unicode_escape").encode("latin-1")


def _cli_run(args):
    partition = None
    if args.partition and os.path.exists(args.partition):
        partition = _read(args.partition)
    serial = _bytes_arg(args.serial_id) if args.serial_id is not None else None
    if args.serial_id_file:
        serial = _read(args.serial_id_file)
    box = Box(partition=partition, serial_id=serial, tmp_size=args.tmp_size)
    if args.working_file:
        box.working_file = _read(args.working_file)
    wrapper = shlex.split(args.emulator or "") + shlex.split(args.wrapper or "")
    run = box.run(args.binary, argv=args.args, wrapper=wrapper, erase_fault=args.erase_fault,
                  erase_seconds=args.erase_seconds, read_cut=args.read_cut,
                  write_cut=args.write_cut, power_cut=args.power_cut, plant=args.plant,
                  stdout=args.stdout, copies=args.copies, start_gap=args.start_gap)
    for i, tool in enumerate(run.tools):
        if len(run.tools) > 1:
            sys.stdout.write(f"--- tool {i}\n")
        sys.stdout.flush()
        sys.stdout.buffer.write(tool.stdout)
        sys.stdout.flush()
        sys.stderr.buffer.write(tool.stderr)
        sys.stderr.flush()
    if not args.quiet:
        for command, status in run.commands:
            print(f"box: ran {command} -> {'killed' if status is None else status}",
                  file=sys.stderr)
        for i, tool in enumerate(run.tools):
            end = f"status {tool.status}" if tool.status is not None else f"signal {tool.signal}"
            print(f"box: tool {i} ended with {end} after {tool.seconds:.3f} s", file=sys.stderr)
        if run.power_cut:
            print("box: power cut", file=sys.stderr)
    if args.partition and run.partition is not None:
        _write(args.partition, run.partition)
    if args.save_working:
        if run.working_file is None:
            if os.path.exists(args.save_working):
                os.remove(args.save_working)
        else:
            _write(args.save_working, run.working_file)
    status = run.status
    return status if status is not None else 128 + (run.tools[0].signal or 0)


def _cli_changes(args):
    before, after = _read(args.before), _read(args.after)
    if before is None or after is None:
        print("changes: both files must exist", file=sys.stderr)
        return 2
    spans = model.changed_spans(before, after, args.length)
    if not spans:
        print("no byte changed")
    for first, last in spans:
        where = f"{first}" if first == last else f"{first}-{last}"
        print(f"{where:>11}  {before[first:last + 1].hex(' ')}  ->  "
              f"{after[first:last + 1].hex(' ')}")
    if len(before) != len(after):
        print(f"size {len(before)} -> {len(after)}")
    return 0


def main(argv):
    if len(argv) == 2 and argv[0] == "inner":
        _inner(argv[1])
        return 0

    parser = argparse.ArgumentParser(prog="simbox.py",
                                     description="mtdmac on a simulated box (README.md)")
    sub = parser.add_subparsers(dest="action", required=True)
    run = sub.add_parser("run", help="run a binary on a simulated box")
    run.add_argument("--binary", required=True)
    run.add_argument("--partition", metavar="FILE",
                     help="the partition's bytes, written back after the run; "
                     "a missing file means no partition")
    run.add_argument("--serial-id", metavar="TEXT",
                     help="serial-id bytes, with backslash escapes (\\n)")
    run.add_argument("--serial-id-file", metavar="FILE")
    run.add_argument("--working-file", metavar="FILE", help="a /tmp/mac.bin left from before")
    run.add_argument("--save-working", metavar="FILE", help="where to store /tmp/mac.bin after")
    run.add_argument("--tmp-size", type=int, default=1 << 20, metavar="BYTES")
    run.add_argument("--erase-fault", choices=("before", "after"))
    run.add_argument("--erase-seconds", type=float, default=0, metavar="SECONDS")
    run.add_argument("--read-cut", type=int, metavar="BYTES")
    run.add_argument("--write-cut", type=int, metavar="BYTES")
    run.add_argument("--power-cut", action="store_true")
    run.add_argument("--plant", choices=PLANTS, help="what stands at /tmp/mac.bin before the run")
    run.add_argument("--emulator", metavar="COMMAND", help='e.g. "qemu-mipsel -L /usr/mipsel-linux-gnu"')
    run.add_argument("--wrapper", metavar="COMMAND", help='e.g. "valgrind -q"')
    run.add_argument("--stdout", choices=("pipe", "file"), default="pipe")
    run.add_argument("--copies", type=int, default=1)
    run.add_argument("--start-gap", type=float, default=0, metavar="SECONDS")
    run.add_argument("--quiet", action="store_true", help="no box: lines on stderr")
    run.add_argument("args", nargs="*", help="arguments for the tool (after --)")
    changes = sub.add_parser("changes", help="list the bytes that differ between two files")
    changes.add_argument("before")
    changes.add_argument("after")
    changes.add_argument("--length", type=int, help="compare only the first LENGTH bytes")
    args = parser.parse_args(argv)
    try:
        return _cli_run(args) if args.action == "run" else _cli_changes(args)
    except BoxError as e:
        print(f"simbox: {e}", file=sys.stderr)
        return 125


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
