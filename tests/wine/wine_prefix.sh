#!/usr/bin/env bash
# Makes, checks and removes the Wine prefix that the Windows tests of one build directory share.
#
# The prefix gets its own persistent Wine server, started detached: a server (or services.exe,
# explorer.exe, ...) started by the first test would inherit CTest's output pipe and hold it open,
# adding seconds to every test. The server outlives its last process by a few minutes only, so an
# interrupted run leaves nothing behind for long. Serial ports COM1..COM16 are pinned in
# HKLM\Software\Wine\Ports to links in PREFIX/ports, so that Wine's mount manager, which rewrites the dosdevices/comN links at
# every start from the host's /dev/ttyS*, ttyUSB* and ttyACM* devices (giving them the first free
# numbers), keeps them pointing there;
# a test links PREFIX/ports/COM<n> to its pseudo-terminal (the device simulator does this when
# OKVBRIDGE_PORTS=PREFIX/ports).
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: wine_prefix.sh setup PREFIX [WINE]
       wine_prefix.sh teardown PREFIX [WINE]
       wine_prefix.sh check PREFIX N [WINE]
       wine_prefix.sh server PREFIX [WINE]

  setup     create (or refresh) the Wine prefix PREFIX, start its persistent Wine server detached,
            and pin COM1..COM16 to the links PREFIX/ports/COM1..COM16
  teardown  stop the prefix's Wine server and every Wine process in it (the prefix stays, so the
            next setup is quick)
  check     make sure PREFIX/dosdevices/comN points at PREFIX/ports/COMN (repairs it if not)
  server    start the prefix's Wine server detached, unless it runs already

  WINE      the Wine loader (default: wine from PATH); the server is the wineserver beside it

The environment the tests then need: WINEPREFIX=PREFIX WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
EOF
}

die() {
  echo "wine_prefix.sh: $*" >&2
  exit 1
}

[[ ${1:-} == -h || ${1:-} == --help ]] && { usage; exit 0; }
(($# >= 2)) || { usage >&2; exit 2; }

action=$1
prefix=$2
shift 2
if [[ $action == check ]]; then
  (($# >= 1)) || die "check needs a port number"
  port=$1
  shift
  [[ $port =~ ^([1-9]|1[0-6])$ ]] || die "port number must be 1 to 16, not '$port'"
fi
wine=${1:-wine}
command -v "$wine" >/dev/null || die "Wine loader '$wine' not found"
wine=$(command -v "$wine")
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver) || die "wineserver not found beside '$wine'"

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

max_port=16
server_linger=300  # seconds the server outlives the prefix's last process

# Detached, with no descriptor of ours: the server daemonizes and holds no test's output pipe.
# A second start while one runs for this prefix ends with status 2. A fresh server also gets its
# system processes (services.exe, explorer.exe, ...) started here, detached as well: started by a
# test's program, they would inherit its output pipe and keep CTest waiting for minutes.
start_server() {
  local started=0
  setsid "$wineserver" -p"$server_linger" </dev/null >/dev/null 2>&1 || started=$?
  if ((started == 0)) && [[ -f $prefix/system.reg ]]; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi
}

# Wine sees the host's root as drive Z:.
winepath_of() {
  printf 'Z:%s' "${1//\//\\}"
}

link_port() { # n
  local want=$prefix/ports/COM$1 link=$prefix/dosdevices/com$1
  if [[ $(readlink "$link" 2>/dev/null) != "$want" ]]; then
    ln -sfn "$want" "$link"
  fi
}

case $action in
setup)
  started=$(date +%s)
  echo "wine_prefix.sh: preparing $prefix (a new prefix takes 10-20 s)"
  mkdir -p "$prefix/ports"
  # Interrupted half-way, leave no server behind.
  trap '"$wineserver" -k >/dev/null 2>&1; exit 130' INT TERM
  made=0
  [[ -f $prefix/system.reg ]] && made=1
  start_server
  log=$prefix/setup.log
  # Only a new prefix is booted here. A made one was booted by start_server (and Wine updates it
  # itself after a Wine upgrade), or runs already: wineboot --init there starts a second
  # services.exe beside the first, and two Task Schedulers then fight over one RPC endpoint, so
  # that schtasks finds none every other call.
  if ((made == 0)) && ! "$wine" wineboot --init </dev/null >"$log" 2>&1; then
    die "wineboot failed in $prefix (see $log)"
  fi
  ports_reg=$prefix/ports.reg
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in $(seq 1 $max_port); do printf '"COM%d"="%s"\n' "$n" "$prefix/ports/COM$n"; done
  } >"$ports_reg"
  "$wine" regedit /S "$(winepath_of "$ports_reg")" </dev/null >>"$log" 2>&1 ||
    die "cannot pin the COM ports in the registry (see $log)"
  for n in $(seq 1 $max_port); do link_port "$n"; done
  if ((made == 0)); then
    # Making a prefix leaves two services.exe running in it, each holding the service database
    # in turn: services such as the Task Scheduler then never start. Started again, the prefix
    # runs one.
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    start_server
  fi
  trap - INT TERM
  echo "wine_prefix.sh: $prefix ready in $(($(date +%s) - started)) s"
  ;;
server)
  start_server
  ;;
check)
  [[ -d $prefix/dosdevices ]] || die "$prefix is not a prepared Wine prefix (run setup first)"
  link_port "$port"
  ;;
teardown)
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  # -k returns once the kill is sent; wait for the server to go so nothing outlives the tests.
  "$wineserver" -w </dev/null >/dev/null 2>&1 || true
  ;;
*)
  usage >&2
  exit 2
  ;;
esac
