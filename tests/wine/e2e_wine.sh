#!/usr/bin/env bash
# Runs one end-to-end scenario (tests/e2e/run.py), one fault scenario (tests/faults/faults.py), the
# short soak (tests/soak/soak.py) or one case of okvbridge-check (tests/check/check_cases.py) against
# okvbridge.exe under Wine: the Windows bridge and
# kolt8.dll run in the Wine prefix, the device simulator and the runtime's control tool are the
# Linux build's, and the two sides meet in the runtime's state file and on a pseudo-terminal that
# the prefix knows as COM<n>.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: e2e_wine.sh --prefix DIR --bridge EXE --libdir DIR --noentry-dir DIR --tls-dir DIR
                   --tools DIR [--wine WINE] [--suite e2e|faults|soak|check|run] [--check EXE]
                   [--run EXE]
                   [--skip "NAME REASON"]... [--unavailable REASON] SCENARIO [-- ARGUMENT...]

  --prefix DIR       a Wine prefix made by wine_prefix.sh setup (its server running)
  --bridge EXE       okvbridge.exe
  --libdir DIR       the folder holding the simulated kolt8.dll (never the bridge's own)
  --noentry-dir DIR  the folder holding a kolt8.dll without the entry point
  --tls-dir DIR      the folder holding a kolt8.dll with thread-local state
  --tools DIR        a Linux build directory with sim/device/okvsim-device and
                     sim/runtime/okvsim-runtime
  --wine WINE        the Wine loader (default: wine from PATH)
  --suite SUITE      e2e (default): SCENARIO is a name from tests/e2e/run.py --list;
                     faults: a name from tests/faults/faults.py --list;
                     soak: the one-minute soak, SCENARIO names its test (any word);
                     check: a name from tests/check/check_cases.py --list;
                     run: a name from tests/run/run_cases.py --list
  --check EXE        okvbridge-check.exe, for the check suite
  --run EXE          okvbridge-run.exe, for the run suite
  --skip "NAME REASON"
                     the scenario NAME cannot hold under Wine: print REASON and skip it
  --unavailable REASON
                     when not empty, Wine cannot run the bridge here: print REASON and skip
  SCENARIO           the scenario to run
  ARGUMENT...        further arguments for the scenario's runner

Exit status: that of the scenario (0 held, 1 failed), 77 when the scenario is skipped (no Wine, no
Linux tools, or a --skip for it), 2 for bad usage.
EOF
}

die() {
  echo "e2e_wine.sh: $*" >&2
  exit 2
}

skip() {
  echo "SKIPPED: $*"
  exit 77
}

prefix='' bridge='' libdir='' noentry='' tls='' tools='' wine=wine suite=e2e scenario='' unavailable=''
check='' run=''
declare -A skips=()
while (($#)); do
  case $1 in
  -h | --help) usage; exit 0 ;;
  --prefix | --bridge | --libdir | --noentry-dir | --tls-dir | --tools | --wine | --suite | --skip | \
    --unavailable | --check | --run)
    (($# >= 2)) || die "$1 needs a value"
    case $1 in
    --prefix) prefix=$2 ;;
    --bridge) bridge=$2 ;;
    --libdir) libdir=$2 ;;
    --noentry-dir) noentry=$2 ;;
    --tls-dir) tls=$2 ;;
    --tools) tools=$2 ;;
    --wine) wine=$2 ;;
    --suite) suite=$2 ;;
    --skip) skips[${2%% *}]=${2#* } ;;
    --unavailable) unavailable=$2 ;;
    --check) check=$2 ;;
    --run) run=$2 ;;
    esac
    shift 2
    ;;
  --)
    shift
    break
    ;;
  -*) die "unknown option $1 (see --help)" ;;
  *)
    [[ -z $scenario ]] || die "one scenario at a time, not '$scenario' and '$1'"
    scenario=$1
    shift
    ;;
  esac
done
[[ -n $scenario && -n $prefix && -n $bridge && -n $libdir && -n $noentry && -n $tls && -n $tools ]] ||
  { usage >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
case $suite in
e2e) runner=("$here/../e2e/run.py" "$scenario") ;;
faults) runner=("$here/../faults/faults.py" "$scenario") ;;
# The soak finds the device and the tool in a Linux build; the bridge and its library come from
# the environment below.
soak) runner=("$here/../soak/soak.py" --minutes 1 --progress 20 --build "$tools") ;;
check) runner=("$here/../check/check_cases.py" "$scenario") ;;
run) runner=("$here/../run/run_cases.py" "$scenario") ;;
*) die "unknown suite '$suite' (e2e, faults, soak, check or run)" ;;
esac
[[ -z ${skips[$scenario]+set} ]] || skip "$scenario under Wine: ${skips[$scenario]}"
[[ -z $unavailable ]] || skip "$unavailable"
if [[ -z $wine ]] || ! command -v "$wine" >/dev/null; then
  skip "Wine is not installed (apt-get install wine wine64 wine32:i386)"
fi
device=$tools/sim/device/okvsim-device
tool=$tools/sim/runtime/okvsim-runtime
[[ -x $device && -x $tool ]] ||
  skip "the Linux simulators are not in $tools (the Windows build makes them in host-tools;" \
    "an OKV_HOST_TOOLS_DIR given instead must be a built Linux tree)"
[[ -f $bridge ]] || die "no bridge at $bridge"
[[ -f $libdir/kolt8.dll ]] || die "no kolt8.dll in $libdir"
[[ -f $noentry/kolt8.dll ]] || die "no kolt8.dll in $noentry"
[[ -f $tls/kolt8.dll ]] || die "no kolt8.dll in $tls"
[[ -d $prefix/dosdevices && -d $prefix/ports ]] ||
  die "$prefix is not a prepared Wine prefix (wine_prefix.sh setup makes it)"

# The bridge finds the runtime library through PATH, which Wine extends with WINEPATH; Windows
# paths there, and the host's root is drive Z: in every prefix wineboot makes.
[[ $(readlink "$prefix/dosdevices/z:") == / ]] || die "drive Z: of $prefix is not the host's root"
windows_path() { # absolute host path -> Z:\...
  local path
  path=$(cd "$1" && pwd)
  printf 'Z:%s' "${path//\//\\}"
}

# The mount manager may have put its own links back since the prefix was made: COM4 is every
# scenario's port, COM7 the one that port_cannot_open opens by number.
for n in 4 7; do
  bash "$here/wine_prefix.sh" check "$prefix" "$n" "$wine" || die "COM$n of $prefix cannot be set"
done

# The scenarios give the bridge and the check tool their Wine environment (okvsim/procs.py).
export OKV_WINE_PREFIX=$prefix
OKV_BRIDGE_CMD=$(printf '%q %q' "$(command -v "$wine")" "$bridge")
[[ -z $check ]] || export OKV_CHECK_CMD="$(printf '%q %q' "$(command -v "$wine")" "$check")"
[[ -z $run ]] || export OKV_RUN_CMD="$(printf '%q %q' "$(command -v "$wine")" "$run")"
OKV_RUNTIME_DIR=$(windows_path "$libdir")
OKV_NOENTRY_DIR=$(windows_path "$noentry")
OKV_TLS_DIR=$(windows_path "$tls")
export OKV_BRIDGE_CMD OKV_RUNTIME_DIR OKV_NOENTRY_DIR OKV_TLS_DIR OKV_LIB_PATH_VAR=WINEPATH
export OKV_RUNTIME_HOST_DIR=$libdir
export OKV_PORTS_DIR=$prefix/ports
export OKV_DEVICE=$device OKV_RUNTIME_TOOL=$tool
# The C runtime writes the console in text mode: CR LF for every LF.
export OKV_CONSOLE_CRLF=1
exec python3 "${runner[@]}" "$@"
