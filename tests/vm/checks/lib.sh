# Sourced by each scenario inside the board. Each check prints one line, "ok NAME" or
# "not ok NAME: why", or "skip NAME: why" for what cannot run here; tests/vm/run counts them.
set -uo pipefail
PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin
ctl() { timeout 30 tesmar_gpioctl "$@"; }
ok() { echo "ok $1"; }
not_ok() { echo "not ok $1: $2"; }
skip() { echo "skip $1: $2"; }
# check NAME CMD…: ok when CMD succeeds.
check() {
  local name=$1
  shift
  local out
  if out=$("$@" 2>&1); then ok "$name"; else not_ok "$name" "$(echo "$out" | tail -3 | tr '\n' ' ')"; fi
}
# until_true SECONDS CMD…: CMD succeeds before SECONDS pass (TCG is slow: deadlines are long;
# the daemon's own intervals are what they are).
until_true() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
main_pid() { systemctl show -p MainPID --value tesmar_gpio; }
journal_has() {  # journal_has SINCE-CURSOR-FILE TEXT: the daemon logged TEXT since the cursor
  journalctl -q -u tesmar_gpio --after-cursor="$(cat "$1")" -o cat | grep -qF -- "$2"
}
mark() { journalctl -q -n 1 -o export | sed -n 's/^__CURSOR=//p' > "$1"; }
led_log=/run/vm-board/leds.log
led_now() {  # led_now NAME: the last brightness the kernel handed the LED
  awk -v n="$1" '$2 == n { b = $3 } END { print b }' "$led_log"
}
