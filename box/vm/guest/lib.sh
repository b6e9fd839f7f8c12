# Shared by the virtual box's init and its power-cut flash_eraseall.
#
# A scenario folder holds: name; flash (module and its parameters); device
# (index of the MTD device that is the box's /dev/mtd3); seed (the partition's
# bytes); serialid (absent: the box has no such entry); cut (present: the power
# goes right after the erase).

# Lines for the host; everything else on the console is noise to it.
say() { echo "@@mtdmac-vm $*"; }

# Files travel compressed and in base64, so every byte survives the console.
emit_file() {
  say "file $1"
  gzip -c "$2" | base64
  say "eof $1"
}

# Every erase of an erase block reaches mtd_erase once; a kprobe counts them.
count_erases_init() {
  t=/sys/kernel/tracing
  echo 0 >$t/tracing_on
  echo 'p:mtdmac/erase mtd_erase' >>$t/kprobe_events
  echo 1 >$t/events/mtdmac/erase/enable
}
erase_count() {
  awk '$1 == "erase" { print $2 }' /sys/kernel/tracing/kprobe_profile
}

ecc_failures() {
  cat "/sys/class/mtd/mtd$VM_DEVICE/ecc_failures"
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

# Reports what the tool left: its status (or "cut"), its report, the erases
# it caused, the ECC failures reading the partition caused, and the partition.
finish_scenario() {
  out=/vm/out
  dd if=/dev/mtd3 of=$out/partition bs=512 2>$out/readback
  erases=$(($(erase_count) - VM_ERASES_BEFORE))
  ecc=$(($(ecc_failures) - VM_ECC_BEFORE))
  dmesg -c >$out/kernel
  say "begin $VM_SCENARIO"
  say "status $1"
  say "erases $erases"
  say "ecc_failures $ecc"
  say "size $(cat "/sys/class/mtd/mtd$VM_DEVICE/size")"
  say "erasesize $(cat "/sys/class/mtd/mtd$VM_DEVICE/erasesize")"
  for f in report stderr readback kernel partition; do
    emit_file $f $out/$f
  done
  say "end $VM_SCENARIO"
}

run_scenario() {
  dir=$1
  VM_SCENARIO=$(cat "$dir/name")
  VM_DEVICE=$(cat "$dir/device")
  export VM_SCENARIO VM_DEVICE
  load_flash "$dir"
  dd if="$dir/seed" of=/dev/mtd3 bs=512 2>/dev/null || say "error seeding $VM_SCENARIO"
  if [ -f "$dir/serialid" ]; then
    cp "$dir/serialid" /proc/stb/info/serialid
  else
    rm -f /proc/stb/info/serialid
  fi
  path=$PATH
  if [ -e "$dir/cut" ]; then path=/vm/cut:$PATH; fi
  rm -rf /vm/out /tmp/mac.bin
  mkdir -p /vm/out
  dmesg -c >/dev/null
  VM_ERASES_BEFORE=$(erase_count)
  VM_ECC_BEFORE=$(ecc_failures)
  export VM_ERASES_BEFORE VM_ECC_BEFORE
  (cd / && PATH=$path mtdmac >/vm/out/report 2>/vm/out/stderr)
  finish_scenario $?
}
