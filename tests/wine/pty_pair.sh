#!/usr/bin/env bash
# Two pseudo-terminals joined back to back by socat, linked as serial ports of a Wine prefix: what
# one side writes, the other reads. The Windows port tests open one as the bridge's port and play
# the device on the other.
set -euo pipefail

usage() {
  cat <<'EOF_USAGE'
Usage: pty_pair.sh start PREFIX PORT PEER [ALIAS...]
       pty_pair.sh stop PREFIX PORT PEER [ALIAS...]

  start   join two pseudo-terminals with socat and link them as PREFIX/ports/COM<PORT> and
          PREFIX/ports/COM<PEER>; each ALIAS (a number) names the COM<PORT> side too, as
          PREFIX/ports/COM<ALIAS> (and PREFIX/dosdevices/com<ALIAS> above 16), for ports reached
          only through their device-namespace name
  stop    end that socat and remove the links

socat is started detached, with its process id in PREFIX/ports/pair-PORT-PEER.pid.
EOF_USAGE
}

die() {
  echo "pty_pair.sh: $*" >&2
  exit 1
}

[[ ${1:-} == -h || ${1:-} == --help ]] && { usage; exit 0; }
(($# >= 4)) || { usage >&2; exit 2; }
action=$1
prefix=$2
port=$3
peer=$4
shift 4
aliases=("$@")
ports=$prefix/ports
pidfile=$ports/pair-$port-$peer.pid

stop() {
  if [[ -f $pidfile ]]; then
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  fi
  rm -f "$ports/COM$port" "$ports/COM$peer"
  for a in "${aliases[@]}"; do
    rm -f "$ports/COM$a"
    ((a <= 16)) || rm -f "$prefix/dosdevices/com$a"
  done
}

case $action in
start)
  command -v socat >/dev/null || die "socat is not installed (apt-get install socat)"
  mkdir -p "$ports"
  stop
  # ignoreeof: the bridge side is opened and closed by every test; socat must outlive that.
  # -T: a run interrupted before its stop step leaves socat behind for ten idle minutes at most.
  setsid socat -T 600 "pty,link=$ports/COM$port,raw,echo=0,ignoreeof" \
    "pty,link=$ports/COM$peer,raw,echo=0,ignoreeof" </dev/null >/dev/null 2>&1 &
  echo $! >"$pidfile"
  for _ in $(seq 1 100); do
    [[ -L $ports/COM$port && -L $ports/COM$peer ]] && break
    sleep 0.05
  done
  [[ -L $ports/COM$port && -L $ports/COM$peer ]] || { stop; die "socat did not make the links"; }
  target=$(readlink "$ports/COM$port")
  for a in "${aliases[@]}"; do
    ln -sfn "$target" "$ports/COM$a"
    # COM1..COM16 are pinned to PREFIX/ports by wine_prefix.sh; the others need their own link.
    ((a <= 16)) || ln -sfn "$ports/COM$a" "$prefix/dosdevices/com$a"
  done
  ;;
stop)
  stop
  ;;
*)
  usage >&2
  exit 2
  ;;
esac
