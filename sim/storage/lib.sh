# Shared by the SD card stand-ins and sim/sdcard: the simulated mount table, the card and
# scripted failures, all files under the board root $root.
#
#   proc/mounts                    the mount table, with the kernel's octal escapes
#   dev/mmcblk0p1                  the card's first partition, present while bound
#   sys/bus/mmc/drivers/mmcblk/    the driver: bind, unbind and the card's device link
#   sys/bus/mmc/devices/ADDRESS    the card's device on the bus, present while in the slot
#   sim/card/inserted              present while the card is in the slot
#   sim/card/label                 the file-system label blkid reports (may be empty)
#   sim/card/address               the card's MMC address (mmc0:aaaa)
#   sim/card/users                 "PID MOUNTPOINT" per process using a mount (for fuser)
#   sim/card/check_seconds         how long the file-system check before a mount takes
#                                  (missing or 0: the mount is there at once)
#   sim/jobs/ID                    a mount systemd is still checking: its path, device,
#                                  type and options, one a line; gone once mounted or stopped
#   sim/fail/PROGRAM               COUNT or "always": the stand-in fails that often
#   sim/bin/PROGRAM.log            one line per call of a stand-in: its arguments

mounts=$root/proc/mounts
card=$root/sim/card
driver=$root/sys/bus/mmc/drivers/mmcblk

# Logs the call of stand-in $1 with the remaining arguments, each in brackets so blanks
# and quotes stay visible.
log_call() {
  local name=$1 line="" arg
  shift
  for arg in "$@"; do line+="[$arg] "; done
  printf '%s\n' "${line% }" >> "$root/sim/bin/$name.log"
}

# Succeeds when the stand-in $1 was told to fail this time (and counts the failure down).
scripted_failure() {
  local file=$root/sim/fail/$1 count
  [ -f "$file" ] || return 1
  count=$(cat "$file")
  if [ "$count" = always ]; then return 0; fi
  [ "$count" -gt 0 ] 2>/dev/null || { /bin/rm -f "$file"; return 1; }
  if [ "$count" -le 1 ]; then /bin/rm -f "$file"; else echo $((count - 1)) > "$file"; fi
  return 0
}

# The mount table's form of a path: blank, tab, newline and backslash as octal escapes.
mt_escape() {
  local s=$1
  s=${s//\\/\\134}
  s=${s// /\\040}
  s=${s//$'\t'/\\011}
  s=${s//$'\n'/\\012}
  printf '%s' "$s"
}

# Replaces the table in one step, so a reader never sees half of it.
mt_write() {
  local tmp
  tmp=$(mktemp "$mounts.XXXXXX")
  cat > "$tmp"
  mv -f "$tmp" "$mounts"
}

mt_has() {  # mt_has PATH: the path is a mount point in the table
  mp=$(mt_escape "$1") awk '$2 == ENVIRON["mp"] { found = 1 } END { exit !found }' "$mounts"
}

mt_add() {  # mt_add DEVICE PATH TYPE OPTIONS
  { cat "$mounts"; printf '%s %s %s %s 0 0\n' "$(mt_escape "$1")" "$(mt_escape "$2")" "$3" "$4"; } | mt_write
}

mt_remove() {  # mt_remove PATH: drops the last (topmost) mount at PATH
  mp=$(mt_escape "$1") awk '{ line[NR] = $0; if ($2 == ENVIRON["mp"]) last = NR }
    END { for (i = 1; i <= NR; i++) if (i != last) print line[i] }' "$mounts" | mt_write
}

mt_remove_device() {  # mt_remove_device TEXT: drops every mount whose device holds TEXT
  dev=$1 awk 'index($1, ENVIRON["dev"]) == 0' "$mounts" | mt_write
}

# Undoes the mount table's octal escapes of one field.
mt_unescape() {
  printf '%b' "$(printf '%s' "$1" | sed 's/\\\([0-7][0-7][0-7]\)/\\0\1/g')"
}

# The body of systemd's unit name of path $1: "/" becomes "-", and every byte outside
# [A-Za-z0-9:_.] (and a leading ".") becomes "\xNN".
unit_of_path() {
  local LC_ALL=C p=${1#/} out="" c i
  for ((i = 0; i < ${#p}; i++)); do
    c=${p:i:1}
    case $c in
      /) out+=- ;;
      [A-Za-z0-9:_]) out+=$c ;;
      .) if [ "$i" -eq 0 ]; then out+='\x2e'; else out+=.; fi ;;
      *) out+=$(printf '\\x%02x' "'$c") ;;
    esac
  done
  printf '%s' "$out"
}

# Each pending mount job: "ID PATH" per line.
jobs_pending() {
  local job path
  for job in "$root"/sim/jobs/*; do
    [ -f "$job" ] || continue
    read -r path < "$job" || continue
    printf '%s %s\n' "${job##*/}" "$path"
  done
}

card_address() { cat "$card/address" 2>/dev/null || echo mmc0:aaaa; }
device_dir() { echo "$root/sys/devices/platform/fe2c0000.mmc/mmc_host/mmc0/$(card_address)"; }

# What the kernel does when the card's device is bound: the device link and the block
# device appear.
card_bind() {
  mkdir -p "$(device_dir)/block/mmcblk0" "$root/dev"
  ln -sfn "../../../../devices/platform/fe2c0000.mmc/mmc_host/mmc0/$(card_address)" "$driver/$(card_address)"
  printf 'simulated SD card\n' > "$root/dev/mmcblk0p1"
}

# The card in the slot, bound or not: the host's device for it on the MMC bus.
card_arrive() {
  mkdir -p "$(device_dir)" "$root/sys/bus/mmc/devices"
  ln -sfn "../../../devices/platform/fe2c0000.mmc/mmc_host/mmc0/$(card_address)" \
    "$root/sys/bus/mmc/devices/$(card_address)"
}

card_leave() {
  /bin/rm -f "$root/sys/bus/mmc/devices/$(card_address)"
}

card_unbind() {
  /bin/rm -f "$driver/$(card_address)" "$root/dev/mmcblk0p1"
}
