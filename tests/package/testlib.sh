# Shared by the shell tests of the shipped files: checks that count, and a summary that
# fails the test when a check failed or none ran.

checks=0
failures=0

# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        failures=$((failures + 1))
        echo "FAIL: $what" >&2
    fi
}

# expect_eq DESCRIPTION EXPECTED ACTUAL
expect_eq() {
    checks=$((checks + 1))
    if [ "$2" != "$3" ]; then
        failures=$((failures + 1))
        printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3" >&2
    fi
}

finish() {
    echo "$checks checks, $failures failed"
    [ "$checks" -gt 0 ] && [ "$failures" -eq 0 ]
}

# The files that installing puts on a board, and their modes.
shipped_files() {
    cat <<'FILES'
600 /etc/tesmar_gpio/tesmar_gpio.conf
600 /etc/tesmar_gpio/wifi_ap.conf
644 /lib/systemd/system/tesmar_gpio-metrics.service
644 /lib/systemd/system/tesmar_gpio-metrics.timer
644 /lib/systemd/system/tesmar_gpio.service
755 /usr/bin/tesmar_gpioctl
644 /usr/lib/modules-load.d/tesmar_gpio.conf
644 /usr/lib/sysusers.d/tesmar_gpio.conf
755 /usr/lib/tesmar_gpio/tesmar_gpio-metrics
755 /usr/lib/tesmar_gpio/wifi_ap.sh
755 /usr/sbin/tesmar_gpio
644 /usr/share/bash-completion/completions/tesmar_gpioctl
644 /usr/share/doc/tesmar-gpio/changelog.Debian.gz
644 /usr/share/doc/tesmar-gpio/copyright
644 /usr/share/lintian/overrides/tesmar-gpio
644 /usr/share/man/man1/tesmar_gpioctl.1.gz
644 /usr/share/man/man8/tesmar_gpio.8.gz
FILES
}
