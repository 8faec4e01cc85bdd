#!/bin/bash
# The Debian package: its files, control fields, changelog and maintainer scripts, the
# programs' architecture, libraries and hardening, and lintian's verdict. With --install
# (root, a package of this machine's architecture): installs it, runs both programs,
# removes it (only the configuration stays) and purges it (nothing stays), then upgrades
# over a running daemon (upgrade_test.sh).
# Usage: deb_test.sh [--install] PACKAGE.deb
set -u
install=no
if [ "${1:-}" = --install ]; then install=yes; shift; fi
deb=$(realpath "${1:?usage: $0 [--install] PACKAGE.deb}")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"
version=$(sed -n 's/^project(tesmar_gpio VERSION \([0-9.]*\) .*/\1/p' "$here/../../CMakeLists.txt")
# The package's version: the newest entry of its changelog.
package_version=$(dpkg-parsechangelog -l "$here/../../packaging/debian/changelog" -S Version)

work=$(mktemp -d /tmp/deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

field() { dpkg-deb -f "$deb" "$1"; }
arch=$(field Architecture)

# --- name, fields, files --------------------------------------------------------------
expect_eq "file named the Debian way" "tesmar-gpio_${package_version}_${arch}.deb" "$(basename "$deb")"
expect_eq "package name" tesmar-gpio "$(field Package)"
expect_eq "version: the programs' with the changelog's Debian revision" "${version}-${package_version##*-}" "$(field Version)"
check "architecture is one of the board's or this machine's" grep -qxE 'arm64|amd64' <<<"$arch"
check "maintainer set" test -n "$(field Maintainer)"
check "description set" test -n "$(field Description)"
depends=$(field Depends)
check "depends on libgpiod3 2.x ($depends)" grep -qE '(^|, )libgpiod3 \(>= 2\.[0-9.]+\)' <<<"$depends"
check "depends on libc6" grep -qE '(^|, )libc6 \(>= ' <<<"$depends"
check "depends on no development package" test -z "$(grep -oE '[a-z0-9.+-]+-dev\b' <<<"$depends")"
for package in systemd mount psmisc; do
    check "depends on $package, for the programs the daemon runs" grep -qE "(^|, )$package(,|$)" <<<"$depends"
done
check "the access point's tools are recommended, not required" \
    test -n "$(grep -w hostapd <<<"$(field Recommends)")" -a -z "$(grep -w hostapd <<<"$depends")"

expect_eq "packaged files and modes" "$(shipped_files)" \
    "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $1, $6}' | sed 's|^-rwxr-xr-x|755|; s|^-rw-r--r--|644|; s|^-rw-------|600|; s| \./| /|' | sort -k2)"
check "every file owned by root" test -z "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"

mkdir "$work/control" "$work/root"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -x "$deb" "$work/root"
expect_eq "the two configuration files are conffiles" "/etc/tesmar_gpio/wifi_ap.conf /etc/tesmar_gpio/tesmar_gpio.conf" \
    "$(paste -sd' ' "$work/control/conffiles")"
expect_eq "the changelog shipped is for this version" "$(field Version)" \
    "$(zcat "$work/root/usr/share/doc/tesmar-gpio/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version)"
for script in postinst prerm postrm; do
    check "$script is an executable shell script" test -x "$work/control/$script"
    check "$script parses" sh -n "$work/control/$script"
done

# --- the programs ---------------------------------------------------------------------
# objdump, which it asks about stack clash protection, knows no other architecture.
hardened() { hardening-check --nocfprotection --quiet "$1" 2>/dev/null; }
case $arch in arm64) machine=AArch64 ;; amd64) machine=X86-64 ;; esac
for program in usr/sbin/tesmar_gpio usr/bin/tesmar_gpioctl; do
    check "$program is built for $arch" grep -q "Machine: .*$machine" <<<"$(readelf -h "$work/root/$program")"
    check "$program is stripped" test -z "$(readelf -S "$work/root/$program" | grep -E '\.(debug_info|symtab)')"
    # PIE, stack protector, fortify, RELRO, immediate binding: what dpkg-buildflags gives
    # here (control-flow protection is not among them yet).
    check "$program is hardened" hardened "$work/root/$program"
done
needed() { readelf -d "$work/root/$1" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort | paste -sd' '; }
# libc6 holds the C library and the dynamic loader.
expect_eq "the client needs nothing but libc" libc.so.6 "$(needed usr/bin/tesmar_gpioctl | sed 's/ld-linux[^ ]* //')"
check "the daemon links libgpiod v2" grep -qw libgpiod.so.3 <<<"$(needed usr/sbin/tesmar_gpio)"

# --- lintian: no error and no warning ----------------------------------------------------
lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1)
lintian_status=$?
check "lintian finds no error or warning: $(grep -E '^[EW]:' <<<"$lintian_out" | paste -sd' ')" \
    test "$lintian_status" -eq 0 -a -z "$(grep -E '^[EW]:' <<<"$lintian_out")"

# --- install, remove, purge on this machine ----------------------------------------------
if [ "$install" = yes ]; then
    check "installing needs root" test "$(id -u)" -eq 0
    check "installing needs a package of this machine" test "$arch" = "$(dpkg --print-architecture)"
    if dpkg-query -W tesmar-gpio >/dev/null 2>&1; then
        echo "note: purging a tesmar-gpio left installed before this test"
        dpkg --purge tesmar-gpio >/dev/null
    fi
    wants=/etc/systemd/system/multi-user.target.wants/tesmar_gpio.service
    quietly() { "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; return 1; }; }
    status() { dpkg-query -W -f='${Status}' tesmar-gpio 2>/dev/null; }
    leftovers() {
        local path
        for path in $(shipped_files | cut -d' ' -f2) /usr/lib/tesmar_gpio "$wants" /var/lib/tesmar_gpio; do
            [ -e "$path" ] || [ -L "$path" ] && echo "$path"
        done
    }

    check "dpkg -i succeeds" quietly dpkg -i "$deb"
    expect_eq "installed" "install ok installed" "$(status)"
    usage=$(tesmar_gpio -h)
    expect_eq "tesmar_gpio -h exits 0" 0 $?
    check "tesmar_gpio -h prints its usage" grep -q '^Usage: .*tesmar_gpio \[options\]' <<<"$usage"
    usage=$(tesmar_gpioctl)
    expect_eq "tesmar_gpioctl without a command exits 1" 1 $?
    check "tesmar_gpioctl without a command prints its usage" grep -q '^Usage: .*tesmar_gpioctl <command>' <<<"$usage"
    expect_eq "manual pages found" "2" "$(man -w tesmar_gpio tesmar_gpioctl 2>/dev/null | wc -l)"
    check "the installed unit passes systemd-analyze verify" \
        test -z "$(systemd-analyze verify /lib/systemd/system/tesmar_gpio.service 2>&1)"
    check "the service is enabled" test -L "$wants"
    check "the socket's group exists" quietly getent group tesmar_gpio

    # The daemon's state, as the service manager would have made it.
    mkdir -p /var/lib/tesmar_gpio && echo "1 0" >/var/lib/tesmar_gpio/link_state
    check "dpkg -r succeeds" quietly dpkg -r tesmar-gpio
    expect_eq "removed, configuration kept" "deinstall ok config-files" "$(status)"
    expect_eq "remove leaves the configuration and the link state only" \
        "/etc/tesmar_gpio/tesmar_gpio.conf /etc/tesmar_gpio/wifi_ap.conf /var/lib/tesmar_gpio" "$(leftovers | paste -sd' ')"

    check "dpkg --purge succeeds" quietly dpkg --purge tesmar-gpio
    expect_eq "purged" "" "$(status)"
    expect_eq "purge leaves nothing" "" "$(leftovers; [ -e /etc/tesmar_gpio ] && echo /etc/tesmar_gpio)"

    # The release before, to upgrade from: this package with an older version and, where
    # git has them, that release's maintainer scripts.
    dpkg-deb -R "$deb" "$work/old"
    sed -i "s/^Version: .*/Version: ${version}~old-1/" "$work/old/DEBIAN/control"
    for script in postinst prerm postrm; do
        git -C "$here" show "7dd294c:packaging/debian/$script" >"$work/old/DEBIAN/$script" 2>/dev/null ||
            cp "$work/control/$script" "$work/old/DEBIAN/$script"
        chmod 755 "$work/old/DEBIAN/$script"
    done
    dpkg-deb -b "$work/old" "$work/old.deb" >/dev/null
    if unshare -m --propagation private true 2>/dev/null; then
        check "an upgrade leaves the running daemon alone" \
            unshare -m --propagation private "$here/upgrade_test.sh" "$work/old.deb" "$deb"
    else
        echo "note: no private mount namespace here; the upgrade over a running daemon is not tested"
    fi
fi

finish
