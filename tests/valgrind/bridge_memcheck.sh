#!/usr/bin/env bash
# Runs end-to-end scenarios with the real bridge under valgrind memcheck and fails on any memory
# error or definite leak valgrind reports for it.
set -euo pipefail

usage() {
  cat <<USAGE
usage: bridge_memcheck.sh --bridge PATH --device PATH --tool PATH --libdir DIR [--python PATH]
                          SCENARIO...

Runs each named scenario of tests/e2e/run.py with the bridge started under valgrind (memcheck,
full leak check), then reads valgrind's log of every bridge process: each must end with
"ERROR SUMMARY: 0 errors". The bridge is stopped by a signal at the end of a scenario, so its exit
status cannot carry valgrind's verdict; the log does.
USAGE
}

here=$(cd "$(dirname "$0")/../.." && pwd)
python=python3
bridge="" device="" tool="" libdir=""
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --python|--bridge|--device|--tool|--libdir)
      [ $# -ge 2 ] || { echo "bridge_memcheck.sh: $1 needs a value" >&2; exit 2; }
      declare "${1#--}=$2"; shift 2 ;;
    -*) echo "bridge_memcheck.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done
for need in bridge device tool libdir; do
  [ -n "${!need}" ] || { echo "bridge_memcheck.sh: --$need is required (see --help)" >&2; exit 2; }
done
[ ${#scenarios[@]} -gt 0 ] || { echo "bridge_memcheck.sh: name at least one scenario" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "bridge_memcheck.sh: valgrind is not installed" >&2; exit 2; }

logs=$(mktemp -d "${TMPDIR:-/tmp}/okv-memcheck.XXXXXX")
trap 'rm -rf "$logs"' EXIT
trap 'exit 130' INT TERM

export OKV_BRIDGE_CMD="valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --track-origins=yes --num-callers=30 --log-file=$logs/bridge.%p.log $bridge"
status=0
for name in "${scenarios[@]}"; do
  echo "== $name"
  if ! "$python" "$here/tests/e2e/run.py" "$name" --bridge "$bridge" --device "$device" \
      --tool "$tool" --libdir "$libdir"; then
    status=1
  fi
  found=0
  for log in "$logs"/bridge.*.log; do
    [ -e "$log" ] || continue
    found=$((found + 1))
    summary=$(grep -a 'ERROR SUMMARY:' "$log" | tail -n 1 || true)
    leaks=$(grep -a -E 'definitely lost:|All heap blocks were freed' "$log" | tail -n 1 || true)
    pid=${log##*/bridge.}; echo "   bridge pid ${pid%.log}: ${summary#==*== } ${leaks#==*== }"
    if [[ "$summary" != *"ERROR SUMMARY: 0 errors"* ]]; then
      echo "bridge_memcheck.sh: $name: valgrind found errors in the bridge:" >&2
      cat "$log" >&2
      status=1
    fi
    rm -f "$log"
  done
  if [ "$found" -eq 0 ]; then
    echo "bridge_memcheck.sh: $name: no valgrind log: the bridge did not run under valgrind" >&2
    status=1
  fi
done
exit $status
