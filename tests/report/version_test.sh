#!/usr/bin/env bash
# The daemon's revision and date come from the checked-out commit: cmake/version.cmake run
# on a checkout made here with a known date, on a directory inside it, on a plain directory
# and without git. Usage: version_test.sh CMAKE VERSION_SCRIPT
set -euo pipefail
cmake=$1 script=$2
git=$(command -v git) || { echo "SKIP: git is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# generate SOURCE_DIR GIT -> the revision and date the header carries, "REV DATE"
generate() {
  "$cmake" -DSOURCE_DIR="$1" -DOUTPUT="$work/out.h" -DGIT_EXECUTABLE="$2" -P "$script"
  sed -n 's/^#define TESMAR_VERSION_GIT "\(.*\)"$/\1/p; s/^#define TESMAR_VERSION_DATE "\(.*\)"$/\1/p' \
    "$work/out.h" | paste -sd' '
}
expect() {  # NAME WANT GOT
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: want '$2', got '$3'"; failures=$((failures + 1)); fi
}

mkdir -p "$work/repo/sub" "$work/plain"
(
  cd "$work/repo"
  export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@t GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t
  export GIT_AUTHOR_DATE="2027-03-04T23:30:00+0000" GIT_COMMITTER_DATE="2027-03-04T23:30:00+0000"
  "$git" init -q . && echo one > file && "$git" add file && "$git" commit -qm one
)
revision=$("$git" -C "$work/repo" rev-parse HEAD | cut -c1-7)

expect "the checkout's commit" "$revision 2027-03-04" "$(generate "$work/repo" "$git")"
stamp=$(stat -c %Y.%i "$work/out.h")
sleep 1.1
generate "$work/repo" "$git" >/dev/null
expect "a rebuild leaves the header as it is" "$stamp" "$(stat -c %Y.%i "$work/out.h")"
expect "a directory inside another checkout" "889249d 2026-06-23" "$(generate "$work/repo/sub" "$git")"
expect "outside a checkout" "889249d 2026-06-23" "$(generate "$work/plain" "$git")"
expect "without git" "889249d 2026-06-23" "$(generate "$work/repo" "$work/no-git")"
expect "git not found at configure time" "889249d 2026-06-23" "$(generate "$work/repo" "")"
[ "$failures" -eq 0 ]
