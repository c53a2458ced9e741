#!/usr/bin/env bash
# The bridge doing its whole job against the simulators: a simulated device on COM4, the simulated
# runtime with an executor installed, and okvbridge between them. Plays a short scene as the
# application program and shows three views side by side: the bridge's console, the device's log and
# what the application sees in m1000.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: scripts/demo.sh [--interactive]

Brings the build up to date (build/default; a second or two when it is), then starts the simulated
device as COM4, the simulated runtime with an executor installed, and okvbridge, and plays a short
scene as the application:
  P answered "Turning On"  -> 4
  P answered "Sleep"       -> 3
  R answered "A123"        -> 8, l1000 = 123
  P to a silent device     -> "Com timeout", 5
It ends by itself in well under a minute and leaves no process, link or file behind (also on Ctrl-C).

  --interactive   start everything, skip the scene, print how to send requests by hand, and keep
                  running until Ctrl-C
  -h, --help      this text
Environment: OKV_BUILD_DIR (default build/default).
TXT
}

interactive=0
case "${1:-}" in
  "") ;;
  --interactive) interactive=1 ;;
  -h | --help) usage; exit 0 ;;
  *) echo "demo.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${OKV_BUILD_DIR:-$root/build/default}
bridge=$build/okvbridge
device=$build/sim/device/okvsim-device
runtime_tool=$build/sim/runtime/okvsim-runtime
runtime_dir=$build/sim/runtime

# Built every time, not only when a binary is missing: after a change to the sources the demo must
# not show the old programs. A tree that is up to date costs a second or two.
echo "== building the bridge and the simulators into $build"
if [[ ! -f $build/CMakeCache.txt ]]; then
  (cd "$root" && cmake --preset default >/dev/null)
fi
cmake --build "$build" -j2 --target okvbridge okvsim-device okvsim-runtime kolt8sim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/okvbridge-demo.XXXXXX")
export OKVBRIDGE_PORTS=$work/ports
export KOLT8_SIM_STATE=$work/runtime.state
mkdir -p "$OKVBRIDGE_PORTS"
pids=()

cleanup() {
  trap - EXIT INT TERM
  exec 3>&- 2>/dev/null || true
  if ((${#pids[@]})); then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "== interrupted"; cleanup; exit $((interactive ? 0 : 130))' INT TERM

# Shows a log as it grows, each line tagged; tail ends by itself once this script has gone. The
# bridge prints each reply between brackets without a line feed: such a piece is shown at once on a
# line of its own, and what follows it on the same console line is tagged with "+" instead of "|".
show() {
  local tag=$1 file=$2
  tail -n +1 -f --pid=$$ "$file" 2>/dev/null | perl -e '
    $| = 1;
    my ($tag, $open) = ($ARGV[0], 0);
    while (sysread(STDIN, my $chunk, 4096)) {
      # The bridge writes Windows-1252; the terminal most likely wants UTF-8.
      $chunk =~ s/\xE0/\xC3\xA0/g;
      $chunk =~ s/\xE9/\xC3\xA9/g;
      for my $piece (split /(?<=\n)/, $chunk) {
        (my $mark = $tag) =~ s/\|$/+/ if $open;
        print $open ? $mark : $tag, " ", $piece;
        $open = $piece !~ /\n\z/;
        print "\n" if $open;
      }
    }' "$tag" &
}

# Waits up to $3 seconds for a line of $1 to contain $2.
wait_for() {
  local file=$1 text=$2 limit=$3 waited=0
  until grep -qF -- "$text" "$file" 2>/dev/null; do
    if ((waited >= limit * 20)); then
      echo "demo.sh: no \"$text\" within ${limit}s" >&2
      return 1
    fi
    sleep 0.05
    waited=$((waited + 1))
  done
}

# The device takes its commands from a FIFO that this script keeps open, so it never sees the end.
mkfifo "$work/device.in"
exec 3<>"$work/device.in"
: >"$work/device.log"
: >"$work/bridge.log"

"$runtime_tool" reset >/dev/null
"$runtime_tool" executor on >/dev/null
"$runtime_tool" set m1000 0 >/dev/null

"$device" --ports "$OKVBRIDGE_PORTS" --com 4 <&3 >"$work/device.log" 2>&1 &
pids+=($!)
wait_for "$work/device.log" "ready COM4" 10

LD_LIBRARY_PATH=$runtime_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
  "$bridge" 4 </dev/null >"$work/bridge.log" 2>&1 &
pids+=($!)

echo "== okvbridge on COM4, with the simulated device and runtime (work folder $work)"
show "  bridge |" "$work/bridge.log"
pids+=($!)
show "  device |" "$work/device.log"
pids+=($!)
wait_for "$work/bridge.log" "Executeur installe" 15

# Plays one request as the application: the control tool writes the code into m1000 and prints every
# code it sees there, with the time since the request.
request() {
  local kind=$1 expect=$2
  echo "== application: request ${kind^^} (writes $([[ $kind == p ]] && echo 1 || echo 6) into m1000)"
  "$runtime_tool" request "$kind" --timeout 15 | tee "$work/app.out" | sed -u 's/^/  app    | /'
  if ! grep -q "m1000 = $expect\$" "$work/app.out"; then
    echo "demo.sh: expected m1000 = $expect" >&2
    return 1
  fi
  # Clearing the result is the application's part.
  "$runtime_tool" set m1000 0 >/dev/null
}

device_says() {
  echo "$1" >&3
  wait_for "$work/device.log" "ok $1" 5
}

if ((interactive)); then
  cat <<TXT

== Everything is running. In another terminal, send requests by hand:
     export KOLT8_SIM_STATE=$KOLT8_SIM_STATE
     $runtime_tool request p          # P: expect 4 while the device answers "Turning On"
     $runtime_tool request r          # R: expect 8 and l1000 = 123
     $runtime_tool watch m1000 l1000  # every change, time-stamped
     $runtime_tool executor off       # and on again; see also: fault --help
   Change the device's replies by writing its commands into its input:
     echo 'p Sleep' > $work/device.in         # also: r TEXT, silent on|off, delay MS, split N MS
   Ctrl-C here stops everything and cleans up.

TXT
  while true; do sleep 1; done
fi

request p 4
device_says "p Sleep"
request p 3
request r 8
device_says "silent on"
request p 5
wait_for "$work/bridge.log" "Com timeout" 2
sleep 0.3  # lets the last console and device lines reach the screen
echo
echo "== scene complete: 4, 3, 8 with l1000 = 123, then 5 after \"Com timeout\""
