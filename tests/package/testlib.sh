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
