#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build for a while each and prints how many inputs each ran.
set -euo pipefail

usage() {
  cat <<USAGE
usage: scripts/fuzz.sh [--time SECONDS] [--build-dir DIR] [--keep] [TARGET...]

Runs each fuzz target (all when none is named: var_ref read_answer r_number p_reply reply_read
port_argument) for SECONDS seconds (default 300), starting from the committed corpus in
tests/fuzz/corpus/TARGET, and prints the executions per target. Build the targets first:
  cmake --preset fuzz && cmake --build --preset fuzz
New inputs go to a scratch folder that is removed at the end, unless --keep merges the ones that
reach new code into the committed corpus (review them before committing). An input that breaks a
check or trips a sanitizer is kept as DIR/tests/fuzz/artifacts/crash-* : copy it into the target's
corpus folder so that the replay in the default build keeps it as a regression test.

  --time SECONDS    time per target (default 300)
  --build-dir DIR   the fuzz build (default build/fuzz)
  --keep            merge new coverage into the committed corpus
USAGE
}

here=$(cd "$(dirname "$0")/.." && pwd)
seconds=300
build="$here/build/fuzz"
keep=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --time) [ $# -ge 2 ] || { echo "fuzz.sh: --time needs a number of seconds" >&2; exit 2; }
            seconds=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || { echo "fuzz.sh: --build-dir needs a folder" >&2; exit 2; }
                 build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -*) echo "fuzz.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
case "$seconds" in
  ''|*[!0-9]*) echo "fuzz.sh: --time wants whole seconds, not '$seconds'" >&2; exit 2 ;;
esac
[ ${#targets[@]} -gt 0 ] || targets=(var_ref read_answer r_number p_reply reply_read port_argument)

for name in "${targets[@]}"; do
  if [ ! -x "$build/tests/fuzz/okv_fuzz_$name" ]; then
    echo "fuzz.sh: no $build/tests/fuzz/okv_fuzz_$name: build the fuzz preset first (see --help)" >&2
    exit 2
  fi
  [ -d "$here/tests/fuzz/corpus/$name" ] || { echo "fuzz.sh: no corpus for $name" >&2; exit 2; }
done
artifacts="$build/tests/fuzz/artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/okv-fuzz.XXXXXX")
child=""
cleanup() {
  if [ -n "$child" ]; then kill "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

status=0
summary=""
for name in "${targets[@]}"; do
  exe="$build/tests/fuzz/okv_fuzz_$name"
  corpus="$here/tests/fuzz/corpus/$name"
  mkdir -p "$scratch/$name"
  log="$scratch/$name.log"
  echo "fuzz.sh: $name for ${seconds} s ..."
  # The scratch folder comes first: libFuzzer writes what it finds into its first corpus folder.
  "$exe" "$scratch/$name" "$corpus" -max_total_time="$seconds" -max_len=4099 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 &
  child=$!
  # Progress: libFuzzer's own status lines, at most one every 10 s.
  last=0
  while kill -0 "$child" 2>/dev/null; do
    sleep 1
    now=$(date +%s)
    if [ $((now - last)) -ge 10 ]; then
      line=$(grep -a -E '^#[0-9]+' "$log" | tail -n 1 || true)
      [ -n "$line" ] && echo "  $name: $line"
      last=$now
    fi
  done
  result=0
  wait "$child" || result=$?
  child=""
  # 72 is libFuzzer's answer to Ctrl-C: stop here, with nothing left behind.
  [ "$result" -eq 72 ] && { echo "fuzz.sh: interrupted" >&2; exit 130; }
  runs=$(grep -a -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -n 1)
  units=$(grep -a -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -n 1)
  if [ "$result" -ne 0 ]; then
    echo "fuzz.sh: $name FAILED (exit $result); its log:" >&2
    tail -n 60 "$log" >&2
    status=1
    summary+=$(printf '%-14s FAILED after %s runs\n' "$name" "${runs:-?}")$'\n'
  else
    summary+=$(printf '%-14s %12s runs in %s s  (%s)\n' "$name" "${runs:-?}" "$seconds" "$units")$'\n'
  fi
  if [ "$keep" -eq 1 ] && [ "$result" -eq 0 ]; then
    # Only inputs that add coverage to the committed corpus are added to it.
    "$exe" -merge=1 "$corpus" "$scratch/$name" >>"$log" 2>&1
  fi
done
echo
echo "target         executions"
printf '%s' "$summary"
exit $status
