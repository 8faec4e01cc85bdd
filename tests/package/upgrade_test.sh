#!/bin/bash
# An upgrade over a running daemon, as on a board where systemd runs. In a private mount
# namespace, a fresh /run holds systemd's marker (/run/systemd/system) and the daemon's
# socket, and systemctl and deb-systemd-invoke are stand-ins that log what they are asked.
# The upgrade must neither stop nor restart the service (the daemon's stop takes the 4G
# uplink and the access point down, which cuts an upgrade made over 4G), must say that the
# new version runs from the next restart, and must keep the watchdog off for the older
# daemon, which does not feed it. A first installation starts the service.
# Usage (root, in a private mount namespace): upgrade_test.sh OLD.deb NEW.deb
set -u
old=$(realpath "${1:?usage: $0 OLD.deb NEW.deb}")
new=$(realpath "${2:?usage: $0 OLD.deb NEW.deb}")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"

mount -t tmpfs tmpfs /run || { echo "upgrade_test.sh: cannot mount a private /run" >&2; exit 1; }
mkdir -p /run/systemd/system /run/stand-ins
for tool in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>/run/stand-ins/calls\n' "$tool" >"/run/stand-ins/$tool"
    chmod 755 "/run/stand-ins/$tool"
done
export PATH=/run/stand-ins:$PATH
calls() { cat /run/stand-ins/calls 2>/dev/null; }
# The running daemon's socket, as a listening daemon leaves it.
daemon_socket() { perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die "$!\n"' /run/tesmar_gpio.sock; }
watchdog_off=/run/systemd/system/tesmar_gpio.service.d/50-upgraded-daemon.conf

dpkg -i "$old" >/dev/null 2>&1
check "the older package installs" test "$(dpkg-query -W -f='${Version}' tesmar-gpio)" = "$(dpkg-deb -f "$old" Version)"
daemon_socket
rm -f /run/stand-ins/calls
out=$(dpkg -i "$new" 2>&1)
check "the upgrade succeeds" test "$(dpkg-query -W -f='${Version}' tesmar-gpio)" = "$(dpkg-deb -f "$new" Version)"
expect_eq "the upgrade neither stops nor restarts the service" "" \
    "$(calls | grep -E ' (stop|restart|try-restart|reload-or-restart|try-reload-or-restart|kill)( |$)')"
check "systemd loads the new unit" grep -qx 'systemctl --system daemon-reload' <<<"$(calls)"
check "the upgrade says a restart brings the new version ($out)" grep -q 'runs after the next restart' <<<"$out"
expect_eq "the older daemon goes unwatched until the next boot" WatchdogSec=0 "$(grep '^WatchdogSec=' "$watchdog_off" 2>/dev/null)"

dpkg --purge tesmar-gpio >/dev/null 2>&1
check "purge removes the watchdog override" test ! -e "$watchdog_off"
rm -f /run/tesmar_gpio.sock /run/stand-ins/calls
out=$(dpkg -i "$new" 2>&1)
check "a first installation starts the service" grep -qx 'deb-systemd-invoke start tesmar_gpio.service' <<<"$(calls)"
check "a first installation has nothing to say about restarts" test -z "$(grep -i restart <<<"$out")"
dpkg --purge tesmar-gpio >/dev/null 2>&1

finish
