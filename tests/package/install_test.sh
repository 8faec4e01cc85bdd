#!/bin/bash
# "cmake --install" of a build tree, staged: the files and their modes, the systemd unit
# through systemd-analyze verify, the manual pages through man.
# Usage: install_test.sh BUILD_DIR
set -u
build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"

stage=$(mktemp -d /tmp/install-test.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null
check "cmake --install succeeds" test $? -eq 0

expect_eq "installed files and modes" "$(shipped_files)" \
    "$(cd "$stage" && find . -type f -printf '%m %P\n' | sed 's| | /|' | sort -k2)"

# The unit, in a root that has the installed files and systemd's own units beside them.
unit=/lib/systemd/system/tesmar_gpio.service
cp -rn /lib/systemd/system/. "$stage/lib/systemd/system/"
verify() { MANPATH=$stage/usr/share/man systemd-analyze verify --root="$stage" "$1" 2>&1; }
expect_eq "the unit passes systemd-analyze verify" "" "$(verify "$unit")"
# The same check fails a unit whose daemon is not where it says.
for metrics_unit in tesmar_gpio-metrics.service tesmar_gpio-metrics.timer; do
    expect_eq "$metrics_unit passes systemd-analyze verify" "" "$(verify /lib/systemd/system/$metrics_unit)"
done
check "the metrics timer is not enabled by the install" test ! -e "$stage/etc/systemd/system/timers.target.wants/tesmar_gpio-metrics.timer"
sed 's|^ExecStart=.*|ExecStart=/usr/sbin/tesmar_gpio_missing -f|' "$stage$unit" >"$stage/lib/systemd/system/broken.service"
check "verify rejects a unit without its program" test -n "$(verify /lib/systemd/system/broken.service)"

while IFS='|' read -r setting why; do
    check "unit: $why" grep -qx -- "$setting" "$stage$unit"
done <<'SETTINGS'
ExecStart=/usr/sbin/tesmar_gpio -f|the daemon runs in the foreground, as the service's main process
Restart=on-failure|restarted when it fails
StateDirectory=tesmar_gpio|/var/lib/tesmar_gpio is created for the link state
UMask=0077|what the daemon creates is root's (the socket's group is given by the daemon)
Type=notify|started once the daemon says it is ready
WatchdogSec=30|a daemon that stops feeding the watchdog is restarted
NotifyAccess=main|only the daemon itself reports its state
NoNewPrivileges=yes|confined: nothing it starts gains privileges
KillMode=mixed|SIGTERM reaches the daemon alone, which stops its children in order
LimitNOFILE=4096|the connection cap and the daemon's own descriptors both fit
SETTINGS
# Confined as far as the daemon's jobs allow: systemd's own rating, from 0 (confined) to 10.
exposure=$(systemd-analyze security --offline=true --root="$stage" "$unit" 2>/dev/null |
    sed -n 's/^.*Overall exposure level for tesmar_gpio.service: \([0-9.]*\) .*/\1/p')
check "unit: exposure ${exposure:-unknown} is 6.0 or below" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 6.0) }'
timeout=$(sed -n 's/^TimeoutStopSec=\([0-9]*\)$/\1/p' "$stage$unit")
check "unit: stop time-out covers the daemon's own stop (about 30 s at worst)" test "${timeout:-0}" -ge 30

for page in man8/tesmar_gpio.8.gz man1/tesmar_gpioctl.1.gz; do
    name=$(basename "$page" | cut -d. -f1)
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$stage/usr/share/man/$page" 2>"$stage/warnings")
    expect_eq "$name manual page renders without warnings" "" "$(cat "$stage/warnings")"
    check "$name manual page names it" grep -q "^ *$name - " <<<"$text"
done

finish
