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
Wine's own diagnostics are silenced; the program's exit code is passed on.
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
exec "$wine" "$@"
