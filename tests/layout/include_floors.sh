#!/usr/bin/env bash
# Each daemon folder is a floor: a module includes only from its own folder or one below
# it, so the base never learns of the modules built on it. Fails naming every include that
# points up or sideways.
set -euo pipefail
daemon=${1:?usage: include_floors.sh DAEMON_DIR}

floor() {
  case "$1" in
    app) echo 6 ;; control) echo 5 ;; link | storage) echo 4 ;; hw) echo 3 ;; core) echo 2 ;;
    *) echo "unknown daemon folder: $1" >&2; exit 2 ;;
  esac
}

declare -A home=()   # header name -> the folder it lives in
for h in "$daemon"/*/*.h; do home[$(basename "$h")]=$(basename "$(dirname "$h")"); done

bad=0
for f in "$daemon"/*/*.h "$daemon"/*/*.cpp; do
  from=$(basename "$(dirname "$f")")
  while read -r inc; do
    to=${home[$inc]:-}
    [ -n "$to" ] && [ "$to" != "$from" ] || continue
    if [ "$(floor "$to")" -ge "$(floor "$from")" ]; then
      echo "${f#"$daemon"/} includes $inc from $to/, which is not below $from/" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
done
exit $bad
