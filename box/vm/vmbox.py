#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A virtual box: a real 32-bit MIPS (mipsel, Malta) Linux under QEMU with a
real MTD flash driver, on which the cross-built mtdmac does its whole job.

The guest is made of Debian's own mipsel packages (kernel, busybox-static,
mtd-utils, C library), fetched once into a cache outside the source tree
(MTDMAC_VM_CACHE, default ${XDG_CACHE_HOME:-~/.cache}/mtdmac-vm) with a
private apt state, so the host never gets a foreign architecture added.

One boot runs a list of scenarios. Each loads the flash driver afresh
(mtdram: NOR-like RAM flash; nandsim: NAND whose writes only clear bits),
writes the seed into the partition, provides /proc/stb/info/serialid (or
not) and runs mtdmac from /. Its status, standard output and error, the
erase requests it caused and the partition's bytes come back to the host on
a result disk (the console is slow under emulation). A power-cut scenario
ends the boot right after flash_eraseall.

A boot can also go as a box's does: busybox init runs the box's rcS, which
starts the given init script; once the boot has ended, the partition and the
report the script kept come back (`boot(..., init_script=...)`).

Python use:

    results = boot([Scenario("name", nandsim(4), seed, b"0012abcd\\n")], tool)
    results["name"].status, .report, .partition, .erases, .ecc_failures, .facts

Command line: `vmbox.py fetch`, `vmbox.py run --help`.
"""

import argparse
import contextlib
import dataclasses
import fcntl
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
GUEST = HERE / "guest"

# Packages of the guest, by their names in the archive; the kernel's name is
# looked up through its meta package, so the newest one in the archive wins.
KERNEL_META = "linux-image-4kc-malta"
GUEST_PACKAGES = ["busybox-static", "mtd-utils", "libc6", "libgcc-s1", "libstdc++6"]
MODULES = [
    "kernel/drivers/mtd/devices/mtdram.ko",
    "kernel/drivers/mtd/nand/raw/nand.ko",
    "kernel/drivers/mtd/nand/raw/nandsim.ko",
    # the result disk
    "kernel/drivers/virtio/virtio.ko",
    "kernel/drivers/virtio/virtio_ring.ko",
    "kernel/drivers/virtio/virtio_pci_modern_dev.ko",
    "kernel/drivers/virtio/virtio_pci_legacy_dev.ko",
    "kernel/drivers/virtio/virtio_pci.ko",
    "kernel/drivers/block/virtio_blk.ko",
]
# Besides the commands the box runs: a second reader of the bad-block table.
EXTRA_COMMANDS = ["mtdinfo"]
RESULT_DISK_SIZE = 64 << 20
LIBRARY_DIRS = ["lib/mipsel-linux-gnu", "usr/lib/mipsel-linux-gnu", "lib"]

VICTIM = b"a file of the box that no run of the tool may change\n" * 64
BOOT_TIMEOUT = 300  # seconds; a wedged guest must not hang the test run
MARK = "@@mtdmac-vm "


def cache_dir():
    env = os.environ.get("MTDMAC_VM_CACHE")
    if env:
        return Path(env)
    xdg = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(xdg) / "mtdmac-vm"


# ---------------------------------------------------------------- flash types


@dataclasses.dataclass(frozen=True)
class Flash:
    kind: str  # "mtdram" or "nandsim"
    module_args: str  # modprobe's words
    device: int  # index of the MTD device that is the box's /dev/mtd3
    size: int  # bytes of the partition
    erase_size: int


def mtdram(size_kib=64, erase_kib=64):
    """RAM flash, one device (mtd0) that the box sees as /dev/mtd3. It
    overwrites on write, so a missing erase does not show in its bytes."""
    return Flash("mtdram", f"mtdram total_size={size_kib} erase_size={erase_kib}", 0,
                 size_kib * 1024, erase_kib * 1024)


NAND_ERASE = 16 * 1024  # the simulated chip: 16 MiB, 512-byte pages, 16 KiB blocks

# Chips nandsim can be, by their read-ID bytes: page and erase-block size as
# the kernel decodes them. What a write must cover differs: 256-byte subpages,
# 512-byte subpages, whole 2 KiB pages (MLC) and 1 KiB subpages.
SMALL_PAGES = "0x20,0x33"  # 16 MiB
LARGE_PAGES = "0x20,0xf1,0x00,0x15"  # 128 MiB
WHOLE_PAGES = "0x20,0xf1,0x04,0x15"  # 128 MiB
PAGES_4K = "0x20,0xdc,0x00,0x26"  # 512 MiB
NAND_CHIPS = {
    SMALL_PAGES: (512, NAND_ERASE),
    LARGE_PAGES: (2048, 128 * 1024),
    WHOLE_PAGES: (2048, 128 * 1024),
    PAGES_4K: (4096, 256 * 1024),
}


def nandsim(blocks=4, chip=SMALL_PAGES, bad=(), refusing=(), grave=()):
    """Simulated NAND whose fourth partition is a genuine mtd3 of the given
    number of erase blocks. Writes only clear bits: a missing erase shows.

    Faults, by erase block or page of the partition: bad blocks are marked
    bad when the driver loads (reading and writing them still works, as on a
    chip); a refusing page takes one program (the seed's) and fails every
    later one with EIO, after programming it; every read of a grave page
    returns random bytes, counts uncorrectable ECC failures and succeeds."""
    page, erase = NAND_CHIPS[chip]
    first_block = 3  # behind three partitions of one block
    first_page = first_block * erase // page
    args = f"nandsim id_bytes={chip} parts=1,1,1,{blocks}"
    if bad:
        args += " badblocks=" + ",".join(str(first_block + b) for b in bad)
    if refusing:
        args += " weakpages=" + ",".join(f"{first_page + p}:1" for p in refusing)
    if grave:
        args += " gravepages=" + ",".join(f"{first_page + p}:0" for p in grave)
    return Flash("nandsim", args, 3, blocks * erase, erase)


FLASH_TYPES = {"mtdram": mtdram, "nandsim": nandsim}


@dataclasses.dataclass
class Scenario:
    name: str
    flash: Flash
    seed: bytes | None  # the partition before the run; None: as the scenario before left it
    serial_id: bytes | None  # None: the box has no serial-id entry
    power_cut: bool = False  # the power goes right after flash_eraseall
    plant: str | None = None  # "symlink" or "hardlink": another user links the
    # working file's name to /tmp/victim (VICTIM) before the run
    copies: int = 1  # tools started at once: status "0 0", report and report.1, ...
    missing: tuple = ()  # commands the box lacks during the run ("not found", status 127)


@dataclasses.dataclass
class Result:
    name: str
    status: str  # the tool's exit status, or "cut"
    erases: int
    ecc_failures: int
    size: int
    erase_size: int
    seconds: float  # from loading the flash driver to the partition's dump
    files: dict  # also working_file (as the run left /tmp/mac.bin) and eraseblocks (mtdinfo -M)
    # Every fact the guest kept, as text: also run_ecc_failures (ECC failures
    # before the partition was read back), the partition's writesize,
    # subpagesize, type, flags and bad_blocks (a count).
    facts: dict = dataclasses.field(default_factory=dict)

    @property
    def report(self):
        return self.files["report"]

    @property
    def partition(self):
        return self.files["partition"]


# --------------------------------------------------------------- guest files


def _apt_options(cache):
    return [
        "-oAPT::Architecture=mipsel", "-oAPT::Architectures=mipsel",
        f"-oDir::State::Lists={cache}/lists", f"-oDir::Cache={cache}/apt",
        "-oAPT::Sandbox::User=root", "-qq",
    ]


def _run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))} failed:\n{proc.stdout}{proc.stderr}")
    return proc.stdout


@contextlib.contextmanager
def _locked(cache):
    cache.mkdir(parents=True, exist_ok=True)
    with open(cache / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def fetch(refresh=False, log=print):
    """Fetches and unpacks the guest packages once; returns the guest root."""
    cache = cache_dir()
    root = cache / "root"
    with _locked(cache):
        if (root / ".complete").exists() and not refresh:
            return root
        start = time.monotonic()
        for sub in ("lists/partial", "apt/archives/partial"):
            (cache / sub).mkdir(parents=True, exist_ok=True)
        apt = _apt_options(cache)
        log("virtual box: fetching the mipsel guest packages")
        _run(["apt-get", *apt, "update"])
        depends = _run(["apt-cache", *apt, "depends", KERNEL_META])
        kernels = [line.split(":", 1)[1].strip() for line in depends.splitlines()
                   if line.strip().startswith("Depends:") and "linux-image-" in line]
        if not kernels:
            raise RuntimeError(f"no kernel behind {KERNEL_META}:\n{depends}")
        debs = cache / "debs"
        shutil.rmtree(debs, ignore_errors=True)
        debs.mkdir()
        _run(["apt-get", *apt, "download", kernels[0], *GUEST_PACKAGES], cwd=debs)
        fresh = cache / "root.new"
        shutil.rmtree(fresh, ignore_errors=True)
        for deb in sorted(debs.glob("*.deb")):
            _run(["dpkg-deb", "-x", str(deb), str(fresh)])
        shutil.rmtree(root, ignore_errors=True)
        fresh.rename(root)
        (root / ".complete").write_text(
            "\n".join(sorted(p.name for p in debs.glob("*.deb"))) + "\n")
        log(f"virtual box: guest packages ready in {time.monotonic() - start:.1f} s")
        return root


def _kernel(root):
    images = sorted((root / "boot").glob("vmlinuz-*"))
    if not images:
        raise RuntimeError(f"no kernel in {root}/boot")
    return images[-1], images[-1].name[len("vmlinuz-"):]


def _modules_dep(root, release):
    """depmod over just the modules the box loads, in a staging folder of the
    cache; returns the staged module tree."""
    stage = cache_dir() / "modules"
    with _locked(cache_dir()):
        tree = stage / "lib/modules" / release
        stamp = stage / "modules.list"
        wanted = "\n".join(MODULES)
        if not stamp.exists() or stamp.read_text() != wanted:
            shutil.rmtree(stage, ignore_errors=True)
            for rel in MODULES:
                (tree / rel).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(root / "lib/modules" / release / rel, tree / rel)
            for name in ("modules.builtin", "modules.builtin.modinfo", "modules.order"):
                shutil.copy2(root / "lib/modules" / release / name, tree / name)
            _run(["depmod", "-b", str(stage), release])
            stamp.write_text(wanted)
    return tree


def _needed(path):
    out = _run(["readelf", "-d", str(path)])
    return [line.split("[", 1)[1].split("]", 1)[0] for line in out.splitlines()
            if "(NEEDED)" in line]


def _interpreter(path):
    out = _run(["readelf", "-l", str(path)])
    for line in out.splitlines():
        if "program interpreter:" in line:
            return line.split(":", 1)[1].strip(" ]")
    return None


def _library_closure(root, binaries):
    """Guest paths of the shared libraries and the loader the binaries need."""
    found = {}
    todo = list(binaries)
    while todo:
        binary = todo.pop()
        interp = _interpreter(binary)
        if interp and interp not in found:
            found[interp] = root / interp.lstrip("/")
        for name in _needed(binary):
            if any(p.endswith("/" + name) for p in found):
                continue
            for d in LIBRARY_DIRS:
                candidate = root / d / name
                if candidate.exists():
                    found["/" + d + "/" + name] = candidate
                    todo.append(candidate.resolve())
                    break
            else:
                raise RuntimeError(f"{binary} needs {name}, which no guest package has")
    return found


# ------------------------------------------------------------------ initramfs


class Cpio:
    """Writes a newc archive, the initramfs format: owner root, given modes."""

    def __init__(self):
        self.parts = []
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_b = name.lstrip("/").encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name_b), 0]
        self.ino += 1
        header = b"070701" + b"".join(b"%08X" % f for f in fields)
        self.parts += [header, name_b, b"\0" * (-(110 + len(name_b)) % 4),
                       data, b"\0" * (-len(data) % 4)]

    def dir(self, name):
        parts = Path(name.lstrip("/")).parts
        for i in range(1, len(parts) + 1):
            sub = "/".join(parts[:i])
            if sub not in self.dirs:
                self.dirs.add(sub)
                self._entry(sub, 0o040755)

    def file(self, name, data, mode=0o644):
        self.dir(str(Path(name).parent))
        self._entry(name, 0o100000 | mode, data)

    def symlink(self, name, target):
        self.dir(str(Path(name).parent))
        self._entry(name, 0o120777, target.encode())

    def node(self, name, major, minor):
        self.dir(str(Path(name).parent))
        self._entry(name, 0o020600, rdev=(major, minor))

    def bytes(self):
        self._entry("TRAILER!!!", 0)
        return b"".join(self.parts)


def _base_archive(root, tool):
    archive = Cpio()
    for d in ("dev", "proc", "sys", "tmp", "bin", "sbin", "usr/bin", "usr/sbin", "vm/scenarios"):
        archive.dir(d)
    # The kernel opens the console before init mounts devtmpfs.
    archive.node("dev/console", 5, 1)
    archive.file("bin/busybox", (root / "bin/busybox").read_bytes(), 0o755)
    archive.file("init", (GUEST / "init").read_bytes(), 0o755)
    archive.file("vm/lib.sh", (GUEST / "lib.sh").read_bytes())
    archive.file("vm/cut/flash_eraseall", (GUEST / "cut/flash_eraseall").read_bytes(), 0o755)
    for name in ("flash_erase", "flash_eraseall", *EXTRA_COMMANDS):
        archive.file(f"usr/sbin/{name}", (root / "usr/sbin" / name).read_bytes(), 0o755)
    archive.file("usr/sbin/mtdmac", Path(tool).read_bytes(), 0o755)
    binaries = [root / "usr/sbin" / name for name in ("flash_erase", *EXTRA_COMMANDS)]
    for guest_path, host_path in _library_closure(root, [*binaries, Path(tool)]).items():
        archive.file(guest_path, host_path.read_bytes(), 0o755)
    _, release = _kernel(root)
    tree = _modules_dep(root, release)
    for path in sorted(tree.rglob("*")):
        if path.is_file() and path.name != "modules.list":
            archive.file(f"lib/modules/{release}/{path.relative_to(tree)}", path.read_bytes())
    return archive


def _add_boot(archive, init_script):
    """busybox init with an inittab and an rcS, as a box's firmware has them,
    and the init script under test among the box's services."""
    archive.symlink("sbin/init", "/bin/busybox")
    archive.file("vm/boot", (GUEST / "boot").read_bytes(), 0o755)
    archive.file("etc/inittab", (GUEST / "etc/inittab").read_bytes())
    archive.file("etc/init.d/rcS", (GUEST / "etc/init.d/rcS").read_bytes(), 0o755)
    archive.file("etc/init.d/mtdmac", Path(init_script).read_bytes(), 0o755)
    archive.dir("var/log")


def _add_scenarios(archive, scenarios):
    for i, s in enumerate(scenarios):
        d = f"vm/scenarios/{i:02d}"
        archive.file(f"{d}/name", s.name.encode())
        archive.file(f"{d}/flash", s.flash.module_args.encode())
        archive.file(f"{d}/device", str(s.flash.device).encode())
        if s.seed is not None:
            archive.file(f"{d}/seed", s.seed)
        if s.serial_id is not None:
            archive.file(f"{d}/serialid", s.serial_id)
        if s.power_cut:
            archive.file(f"{d}/cut", b"")
        if s.plant:
            archive.file(f"{d}/plant", s.plant.encode())
            archive.file(f"{d}/victim", VICTIM)
        if s.copies != 1:
            archive.file(f"{d}/copies", str(s.copies).encode())
        if s.missing:
            archive.file(f"{d}/missing", " ".join(s.missing).encode())


# ----------------------------------------------------------------------- boot


class BootError(RuntimeError):
    pass


def _parse_console(console):
    errors, done, ready = [], False, None
    for raw in console.splitlines():
        line = raw.rstrip("\r")
        if not line.startswith(MARK):
            continue
        word, _, rest = line[len(MARK):].partition(" ")
        if word == "done":
            done = True
        elif word == "ready":
            ready = int(rest.split()[-1]) / 100
        elif word == "error":
            errors.append(rest)
    return errors, done, ready


def _read_results(disk):
    """The scenario folders the guest wrote to the result disk, as Results."""
    files = {}
    with open(disk, "rb") as f, contextlib.suppress(tarfile.ReadError):
        with tarfile.open(fileobj=f, mode="r:") as tar:
            for member in tar.getmembers():
                parts = Path(member.name).parts
                parts = parts[1:] if parts[:1] == (".",) else parts
                if member.isfile() and len(parts) == 2:
                    files.setdefault(parts[0], {})[parts[1]] = tar.extractfile(member).read()
    results = {}
    for name, content in files.items():
        facts = dict(line.split(" ", 1) for line in content.pop("facts").decode().splitlines())
        results[name] = Result(
            name=name, status=facts["status"], erases=int(facts["erases"]),
            ecc_failures=int(facts["ecc_failures"]), size=int(facts["size"]),
            erase_size=int(facts["erasesize"]), seconds=int(facts["centiseconds"]) / 100,
            files=content, facts=facts)
    return results


def boot(scenarios, tool, log=None, init_script=None):
    """Boots the virtual box once with the scenarios; returns their results by
    name. A power-cut scenario, if any, must be the last one. With an init
    script, busybox init boots the box through it, with the one scenario's
    flash and serial id; the result's report is what the script kept in
    /var/log/mtdmac.log and its status is "boot"."""
    if any(s.power_cut for s in scenarios[:-1]):
        raise ValueError("a power cut ends the boot: it must be the last scenario")
    if scenarios and scenarios[0].seed is None:
        raise ValueError("the first scenario of a boot needs a seed")
    if init_script and (len(scenarios) != 1 or scenarios[0].power_cut):
        raise ValueError("a boot through an init script takes one scenario, without a power cut")
    root = fetch()
    kernel, _ = _kernel(root)
    archive = _base_archive(root, tool)
    _add_scenarios(archive, scenarios)
    append = "console=ttyS0 panic=1 quiet"
    if init_script:
        _add_boot(archive, init_script)
        append += " rdinit=/sbin/init"
    with tempfile.TemporaryDirectory(prefix="mtdmac-vm-") as tmp:
        initrd = Path(tmp) / "initrd.cpio"
        initrd.write_bytes(archive.bytes())
        disk = Path(tmp) / "results.img"
        with open(disk, "wb") as f:
            f.truncate(RESULT_DISK_SIZE)
        # No NIC and no VGA: their option ROMs are not in qemu-system-mips
        # when installed without its recommended packages.
        cmd = ["qemu-system-mipsel", "-M", "malta", "-m", "256", "-nographic",
               "-monitor", "none", "-nic", "none", "-vga", "none", "-no-reboot",
               "-kernel", str(kernel), "-initrd", str(initrd),
               "-append", append,
               "-drive", f"file={disk},format=raw,if=none,id=results",
               "-device", "virtio-blk-pci,drive=results"]
        start = time.monotonic()
        try:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=BOOT_TIMEOUT)
        except subprocess.TimeoutExpired as e:
            raise BootError(f"the virtual box did not power off within {BOOT_TIMEOUT} s:\n"
                            + (e.stdout or b"").decode(errors="replace")[-4000:]) from None
        elapsed = time.monotonic() - start
        console = proc.stdout.decode(errors="replace")
        results = _read_results(disk)
    errors, done, ready = _parse_console(console)
    if log:
        log(f"virtual box: {elapsed:.1f} s for a boot with {len(scenarios)} scenarios"
            f" (guest up after {ready} s; "
            + ", ".join(f"{s.name} {results[s.name].seconds:.1f} s"
                        for s in scenarios if s.name in results) + ")")
    if errors or not done or len(results) != len(scenarios):
        raise BootError("the virtual box did not run every scenario"
                        + (f" (errors: {errors})" if errors else "") + ":\n"
                        + console[-6000:] + proc.stderr.decode(errors="replace"))
    return results


# ----------------------------------------------------------------- command line


def _main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    f = sub.add_parser("fetch", help="fetch and unpack the guest packages into the cache")
    f.add_argument("--refresh", action="store_true", help="fetch again even if cached")
    r = sub.add_parser("run", help="boot once, run mtdmac on a seeded partition, show what it did")
    r.add_argument("--tool", required=True, help="the mipsel mtdmac binary")
    r.add_argument("--flash", choices=sorted(FLASH_TYPES), default="nandsim")
    r.add_argument("--chip", choices=sorted(NAND_CHIPS), default=SMALL_PAGES, metavar="ID_BYTES",
                   help="nandsim's read-ID bytes, which give its page and erase-block size: "
                   + "; ".join(f"{c} ({p} B pages, {e // 1024} KiB blocks)"
                               for c, (p, e) in NAND_CHIPS.items()))
    r.add_argument("--seed", help="file with the partition's bytes (default: erased)")
    r.add_argument("--serial-id", default="0012abcd\n",
                   help="text of /proc/stb/info/serialid ('' for no entry)")
    r.add_argument("--out", help="write the partition afterwards to this file")
    args = parser.parse_args()
    if args.command == "fetch":
        print(fetch(refresh=args.refresh))
        return 0
    flash = nandsim(chip=args.chip) if args.flash == "nandsim" else FLASH_TYPES[args.flash]()
    seed = Path(args.seed).read_bytes() if args.seed else b"\xff" * flash.size
    serial = args.serial_id.encode() if args.serial_id else None
    result = boot([Scenario("run", flash, seed, serial)], args.tool,
                  log=lambda m: print(m, file=sys.stderr))["run"]
    sys.stdout.write(result.report.decode(errors="replace"))
    sys.stdout.write(result.files["stderr"].decode(errors="replace"))
    print(f"-- exit status {result.status}; {result.erases} erase requests reached the flash; "
          f"partition {result.size} bytes on {args.flash}, erase blocks of {result.erase_size}"
          f" bytes, writes of {result.facts['writesize']}")
    if args.out:
        Path(args.out).write_bytes(result.partition)
    return 0


if __name__ == "__main__":
    sys.exit(_main())
