# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# Shared by the box's commands. simbox.py copies them into the run's scratch
# folder next to settings.sh, which sets box (that folder), partition,
# system_path and the faults of the run.
# shellcheck source=/dev/null
. "${0%/*}/settings.sh"
: "${box:?}" "${partition:?}" "${system_path:?}" "${erase_fault?}" "${erase_seconds:?}"
: "${read_cut?}" "${write_cut?}" "${power_cut:?}" "${after_erase?}"
# Without the box's own folder, so that dd is the system's and names itself "dd".
PATH=$system_path

# One line a command for the host: its exit status ("-" when the power went) and its words.
log() {
  status=$1
  shift
  printf '%s\t%s\n' "$status" "$*" >>"$box/commands.log"
}
