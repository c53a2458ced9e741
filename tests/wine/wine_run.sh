#!/usr/bin/env bash
# Runs one Windows program of the tests under Wine, in the build's own prefix: the emulator CTest
# puts in front of every .exe, test listing included.
#
# The listing runs before any CTest fixture, so the prefix is made here when it is missing. The
# prefix's server is started detached first: one started by the program would inherit CTest's
# output pipe and keep the test open for seconds after the program ended.
set -euo pipefail

usage() {
  cat <<'EOF_USAGE'
Usage: wine_run.sh PREFIX WINE PROGRAM [ARGUMENT...]

Runs PROGRAM (a .exe) under the Wine loader WINE in the Wine prefix PREFIX, preparing the prefix
first when it does not exist yet (wine_prefix.sh setup). With OKV_WINE_PORTS="5 6" in the
environment, the links PREFIX/dosdevices/com5 and com6 are checked (and repaired) first.
Wine's own diagnostics are silenced; the program's exit code is passed on. A program that Wine
failed to start at all is started once more.
EOF_USAGE
}

[[ ${1:-} == -h || ${1:-} == --help ]] && { usage; exit 0; }
(($# >= 3)) || { usage >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
wine=$2
shift 2

if [[ ! -f $prefix/system.reg ]]; then
  "$here/wine_prefix.sh" setup "$prefix" "$wine" >&2
else
  "$here/wine_prefix.sh" server "$prefix" "$wine"
fi
for n in ${OKV_WINE_PORTS:-}; do
  "$here/wine_prefix.sh" check "$prefix" "$n" "$wine"
done

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

# Now and then, on a loaded machine, Wine fails to start a program at all: its loader hands the
# file to start.exe, which prints "ShellExecuteEx failed: Internal error." on standard output and
# exits 1, and the program never ran. Then, and only then, it is started once more. Whatever the
# program itself printed or returned is passed on as it is.
output=$(mktemp)
set +e
"$wine" "$@" | tee "$output"
status=${PIPESTATUS[0]}
set -e
if ((status != 0)) && grep -q '^ShellExecuteEx failed' "$output" &&
   (($(grep -c . "$output") <= 2)); then
  rm -f "$output"
  echo "wine_run.sh: Wine did not start $1 (ShellExecuteEx failed); starting it once more" >&2
  exec "$wine" "$@"
fi
rm -f "$output"
exit "$status"
