# SPDX-License-Identifier: MIT
# Shared by the virtual box's init and its power-cut flash_eraseall.
#
# A scenario folder holds: name; flash (module and its parameters); device
# (index of the MTD device that is the box's /dev/mtd3); seed (the partition's
# bytes; absent: the flash stays as the scenario before left it); serialid
# (absent: the box has no such entry); cut (present: the power goes right
# after the erase); plant ("symlink" or "hardlink": before the run the user
# box links /tmp/mac.bin to /tmp/victim, whose bytes are in victim); copies
# (how many tools start at once; absent: one); missing (commands the box does
# not have during the run).

# What the box's kernel and firmware give every scenario: busybox's applets,
# the mounts, the serial-id entry's folder, the erase counter, the result disk.
start_box() {
  /bin/busybox --install -s /bin
  export PATH=/usr/sbin:/usr/bin:/sbin:/bin
  mkdir -p /dev /sys /tmp /.proc /proc
  mount -t devtmpfs dev /dev
  mount -t proc proc /.proc
  mount -t sysfs sys /sys
  mount -t tmpfs tmp /tmp
  mount -t tracefs trace /sys/kernel/tracing
  # Kernel messages would mix with the lines for the host.
  dmesg -n 1
  # procfs takes no new folders: the box's /proc is a tmpfs that holds the
  # serial-id entry and links to everything the kernel's procfs has.
  mount -t tmpfs box-proc /proc
  for entry in /.proc/*; do
    ln -s "$entry" "/proc/${entry#/.proc/}"
  done
  mkdir -p /proc/stb/info
  # A user besides root, and a kernel without a desktop distribution's
  # defaults: a link in /tmp is followed whoever made it, and any user may
  # link to a file of root's.
  mkdir -p /etc
  printf 'root:x:0:0::/:/bin/sh\nbox:x:1000:1000::/tmp:/bin/sh\n' >/etc/passwd
  echo 0 >/.proc/sys/fs/protected_symlinks
  echo 0 >/.proc/sys/fs/protected_hardlinks
  count_erases_init
  mkdir -p /vm/results
  modprobe virtio_pci
  modprobe virtio_blk
  [ -b /dev/vda ] || say "error no result disk"
}

# Lines for the host; everything else on the console is noise to it.
say() { echo "@@mtdmac-vm $*"; }

# The results go to the host on a disk of their own: the console is slow
# under emulation. Called once, at the end of the boot.
save_results() {
  tar -cf - -C /vm/results . | dd of=/dev/vda bs=64k conv=fsync 2>/dev/null
}

# Centiseconds since boot, without starting a process.
now_cs() {
  read -r up _ </.proc/uptime
  echo $((${up%.*} * 100 + 1${up#*.} - 100))
}

# Every erase of an erase block reaches mtd_erase once; a kprobe counts them.
count_erases_init() {
  t=/sys/kernel/tracing
  echo 0 >$t/tracing_on
  echo 'p:mtdmac/erase mtd_erase' >>$t/kprobe_events
  echo 1 >$t/events/mtdmac/erase/enable
}
erase_count() {
  while read -r event hits _; do
    if [ "$event" = erase ]; then echo "$hits"; fi
  done </sys/kernel/tracing/kprobe_profile
}

mtd_value() {
  read -r value <"/sys/class/mtd/mtd$VM_DEVICE/$1"
  echo "$value"
}

load_flash() {
  for module in mtdram nandsim nand; do
    if grep -q "^$module " /.proc/modules; then rmmod "$module"; fi
  done
  rm -f /dev/mtd3
  # shellcheck disable=SC2046  # the parameters are separate words
  modprobe $(cat "$1/flash") || say "error modprobe $(cat "$1/flash")"
  if [ ! -e /dev/mtd3 ]; then
    mknod /dev/mtd3 c 90 $((VM_DEVICE * 2))
  fi
}

# Keeps what the tool left: its status (or "cut"), its report, the erases it
# caused, the ECC failures it and reading the partition back caused, the
# partition, the working file, and the partition's geometry and bad blocks
# as the driver gives them.
finish_scenario() {
  out=/vm/out
  run_ecc=$(($(mtd_value ecc_failures) - VM_ECC_BEFORE))
  if [ -f /tmp/mac.bin ]; then cp /tmp/mac.bin $out/working_file; fi
  mtdinfo -M /dev/mtd3 >$out/eraseblocks 2>&1
  dd if=/dev/mtd3 of=$out/partition bs=512 2>$out/readback
  dmesg -c >$out/kernel
  cp /.proc/mtd $out/mtd
  if [ -f /tmp/victim ]; then cp /tmp/victim $out/victim; fi
  {
    echo "status $1"
    echo "centiseconds $(($(now_cs) - VM_STARTED))"
    echo "erases $(($(erase_count) - VM_ERASES_BEFORE))"
    echo "ecc_failures $(($(mtd_value ecc_failures) - VM_ECC_BEFORE))"
    echo "size $(mtd_value size)"
    echo "erasesize $(mtd_value erasesize)"
    echo "run_ecc_failures $run_ecc"
    for value in writesize subpagesize type flags bad_blocks; do
      echo "$value $(mtd_value $value)"
    done
  } >$out/facts
  if [ -f /vm/missing/list ]; then
    while read -r found; do mv "/vm/missing/${found##*/}" "$found"; done </vm/missing/list
    rm /vm/missing/list
  fi
  mv $out "/vm/results/$VM_SCENARIO"
  say "scenario $VM_SCENARIO: status $1"
}

# Sets the box up for the scenario in folder $1; the tool runs after it.
prepare_scenario() {
  dir=$1
  VM_STARTED=$(now_cs)
  read -r VM_SCENARIO <"$dir/name"
  read -r VM_DEVICE <"$dir/device"
  export VM_STARTED VM_SCENARIO VM_DEVICE
  # A seed makes a new box; without one the box goes on, /tmp and all.
  if [ -f "$dir/seed" ]; then
    rm -f /tmp/mac.bin /tmp/victim
    load_flash "$dir"
    # Whole erase blocks: NAND without subpages takes nothing smaller than a page.
    dd if="$dir/seed" of=/dev/mtd3 bs="$(mtd_value erasesize)" 2>/dev/null ||
      say "error seeding $VM_SCENARIO"
  fi
  if [ -f "$dir/missing" ]; then
    mkdir -p /vm/missing
    read -r commands <"$dir/missing"
    for command in $commands; do
      found=$(command -v "$command") || continue
      mv "$found" /vm/missing/ && echo "$found" >>/vm/missing/list
    done
  fi
  if [ -f "$dir/plant" ]; then
    cp "$dir/victim" /tmp/victim
    case $(cat "$dir/plant") in
      symlink) su box -c "ln -s /tmp/victim /tmp/mac.bin" ;;
      hardlink) su box -c "ln /tmp/victim /tmp/mac.bin" ;;
    esac
    [ -e /tmp/mac.bin ] || say "error planting $VM_SCENARIO"
  fi
  if [ -f "$dir/serialid" ]; then
    cp "$dir/serialid" /proc/stb/info/serialid
  else
    rm -f /proc/stb/info/serialid
  fi
  path=$PATH
  if [ -e "$dir/cut" ]; then path=/vm/cut:$PATH; fi
  rm -rf /vm/out
  mkdir -p /vm/out
  dmesg -c >/dev/null
  VM_ERASES_BEFORE=$(erase_count)
  VM_ECC_BEFORE=$(mtd_value ecc_failures)
  export VM_ERASES_BEFORE VM_ECC_BEFORE
}

# The tools of a scenario start at once; the first one's output is report and
# stderr, the others' report.N and stderr.N, and their statuses follow in order.
run_scenario() {
  prepare_scenario "$1"
  copies=1
  if [ -f "$1/copies" ]; then read -r copies <"$1/copies"; fi
  pids='' i=0
  while [ $i -lt "$copies" ]; do
    suffix=.$i
    if [ $i -eq 0 ]; then suffix=''; fi
    (cd / && PATH=$path mtdmac >/vm/out/report$suffix 2>/vm/out/stderr$suffix) &
    pids="$pids $!"
    i=$((i + 1))
  done
  statuses=''
  for pid in $pids; do
    wait "$pid"
    statuses="$statuses${statuses:+ }$?"
  done
  finish_scenario "$statuses"
}
