#!/usr/bin/env bash
# The Windows scene end to end under Wine, as a user meets it: the build installed as its ZIP lays
# it out, then sim\demo.cmd run by Wine's cmd.exe, with okvbridge.exe, okvsim-device.exe and
# okvsim-runtime.exe, all three Windows programs, on COM4 and COM5 of the prefix, the two ends of a
# pseudo-terminal pair joined by socat. No Linux simulator takes part.
set -euo pipefail

usage() {
  cat <<'EOF_USAGE'
Usage: scene_wine.sh --prefix PREFIX --wine WINE --build DIR [--cmake CMAKE]
                     [--unavailable WHY] whole|interrupted|killed

  whole    the scene from start to end: exit code 0, the story it prints, and afterwards no
           program of it running and no work folder left
  interrupted
           Ctrl-C (SIGINT, which Wine hands to the console handler) in the middle of the first
           request: "== interrupted", exit code 130, nothing running and no work folder left
  killed   the scene killed outright (SIGKILL) in the middle of its first request: every program
           it started must end with it
  DIR      the Windows build directory, installed into a temporary folder first
  WHY      when not empty, Wine cannot run the programs here: the test says so and is skipped
Exit codes: 0 passed, 1 failed, 2 bad usage, 77 skipped.
EOF_USAGE
}

prefix="" wine="" build="" cmake=cmake unavailable="" case=""
while (($#)); do
  case $1 in
  --prefix) prefix=$2; shift 2 ;;
  --wine) wine=$2; shift 2 ;;
  --build) build=$2; shift 2 ;;
  --cmake) cmake=$2; shift 2 ;;
  --unavailable) unavailable=$2; shift 2 ;;
  -h | --help) usage; exit 0 ;;
  whole | interrupted | killed) case=$1; shift ;;
  *) usage >&2; exit 2 ;;
  esac
done
[[ -n $prefix && -n $wine && -n $build && -n $case ]] || { usage >&2; exit 2; }

skip() {
  echo "skipped: $*"
  exit 77
}
[[ -z $unavailable ]] || skip "$unavailable"
command -v socat >/dev/null || skip "socat is not installed (apt-get install socat): no COM pair to join"

here=$(cd "$(dirname "$0")" && pwd)
# A name of its own, so that the scene's processes can be told apart from any other Wine process.
stage=$(mktemp -d "${TMPDIR:-/tmp}/okvscene-XXXXXX")
tag=$(basename "$stage")
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}

ours() { pgrep -f "$tag" || true; }

cleanup() {
  local pids
  pids=$(ours)
  [[ -z $pids ]] || kill -KILL $pids 2>/dev/null || true
  "$here/pty_pair.sh" stop "$prefix" 4 5 || true
  rm -rf "$stage"
}
trap cleanup EXIT

"$cmake" --install "$build" --prefix "$stage/okvbridge" >/dev/null
# What the ZIP holds: the toolset in sim/ with its guides, and no runtime library beside the bridge,
# where it would shadow the real one.
for file in okvbridge.exe okvbridge-check.exe README.md docs/windows.md sim/kolt8.dll \
  sim/okvsim-runtime.exe sim/okvsim-device.exe sim/okvsim-scene.exe sim/demo.cmd \
  sim/README-runtime.md sim/README-device.md sim/README-scene.md; do
  [[ -f $stage/okvbridge/$file ]] || fail "the package has no $file"
done
[[ ! -e $stage/okvbridge/kolt8.dll ]] || fail "the package has a kolt8.dll beside okvbridge.exe"
"$here/wine_prefix.sh" server "$prefix" "$wine"
"$here/pty_pair.sh" start "$prefix" 4 5
for n in 4 5; do "$here/wine_prefix.sh" check "$prefix" "$n" "$wine"; done
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
temp_folders=("$prefix"/drive_c/users/*/[Tt]emp)
rm -rf "${temp_folders[@]/%//okvbridge-demo-}"*

demo="Z:${stage//\//\\}\\okvbridge\\sim\\demo.cmd"
out=$stage/scene.out

# Starts the scene in the background and waits for its first request; $scene is then its process.
start_and_wait_for_first_request() {
  timeout 150 "$wine" cmd /c "$demo" 5 </dev/null >"$out" 2>&1 &
  cmd_pid=$!
  local waited=0
  until grep -qF '== application: request P' "$out" 2>/dev/null; do
    ((waited < 600)) || { cat "$out"; fail "the scene did not reach its first request in 60 s"; exit 1; }
    sleep 0.1
    waited=$((waited + 1))
  done
  scene=$(pgrep -f "$tag.*okvsim-scene.exe" || true)
  [[ -n $scene ]] || { cat "$out"; fail "no okvsim-scene.exe process found"; exit 1; }
  for program in okvbridge.exe okvsim-device.exe; do
    pgrep -f "$tag.*$program" >/dev/null || fail "$program was not running before the interruption"
  done
}

no_work_folder_left() {
  local left
  left=$(compgen -G "$prefix/drive_c/users/*/[Tt]emp/okvbridge-demo-*" || true)
  [[ -z $left ]] || fail "work folder left behind: $left"
}

# Waits up to $1 seconds for no process of the scene to be left; lists those that are.
none_left_within() {
  local limit=$1 waited=0
  while [[ -n $(ours) ]] && ((waited < limit * 10)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  local left
  left=$(ours)
  [[ -z $left ]] || fail "still running: $(ps -o pid=,args= -p $(echo $left | tr ' ' ,))"
}

case $case in
whole)
  started=$(date +%s)
  set +e
  timeout 150 "$wine" cmd /c "$demo" 5 </dev/null >"$out" 2>&1
  code=$?
  set -e
  echo "--- the scene (exit code $code, $(($(date +%s) - started)) s)"
  cat "$out"
  echo "---"
  ((code == 0)) || fail "exit code $code, not 0"
  for line in \
    '== scene complete: 4, 3, 8 with l1000 = 123, then 5 after "Com timeout"' \
    '  device | ready COM5' \
    '  bridge | Communication OKV (COM4) <-> Corvalen V1.000' \
    '  bridge | Executeur installe' \
    '  bridge | [Turning On]' \
    '  bridge | [Sleep]' \
    '  bridge | [A123]' \
    '  bridge | Com timeout' \
    '  app    | l1000 = 123'; do
    # A piece the bridge printed on the line of its last reply is marked "+" instead of "|".
    sed 's/^  bridge + /  bridge | /' "$out" | grep -qF -- "$line" || fail "no line \"$line\""
  done
  # The application's view: each request ends with its result code, in the scene's order.
  results=$(tr -d '\r' <"$out" | awk '
    /^== / { if (last != "") printf "%s", last; last = "" }
    /^  app    \| \+[0-9]+ ms m1000 = [0-9]+$/ { last = $NF }')
  [[ $results == 4385 ]] || fail "the application saw the results '$results', not 4385"
  # Every command the device heard was a P or an R, each answered as the scene set it.
  grep -q '  device | .*<- ignored' "$out" && fail "the device heard bytes that were no command"
  none_left_within 5
  no_work_folder_left
  ;;
interrupted)
  start_and_wait_for_first_request
  kill -INT $scene
  echo "Ctrl-C (SIGINT) to okvsim-scene.exe (process $scene) during the first request"
  set +e
  wait $cmd_pid
  code=$?
  set -e
  cat "$out"
  ((code == 130)) || fail "exit code $code, not 130"
  grep -qx '== interrupted' "$out" || fail "no line \"== interrupted\""
  # The scene's own steps fail once it is interrupted; it must not report them as faults.
  grep -q '^okvsim-scene:' "$out" && fail "a complaint after the interruption"
  none_left_within 5
  no_work_folder_left
  ;;
killed)
  start_and_wait_for_first_request
  kill -KILL $scene
  echo "killed okvsim-scene.exe (process $scene) during the first request"
  none_left_within 10
  cat "$out"
  ;;
esac

((failed == 0)) && echo "PASS: scene $case"
exit $failed
