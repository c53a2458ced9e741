#!/usr/bin/env bash
# The Linux package's systemd unit, installed as its comment tells an operator to, checked by
# systemd's own verifier: the package is installed into /opt/okvbridge of a scratch root (so the
# unit's ExecStart names a real okvbridge-run), the unit copied into its /etc/systemd/system, and
# the system's own units beside it for the targets it names. systemd-analyze answers 0 even for a
# setting it ignores as unknown or unparsable, so any word it prints fails the test too.
#
#   systemd_verify.sh BUILD_DIR
# Exit 0 when the unit verifies cleanly, 1 when not, 77 (skipped) where systemd is not installed.
set -euo pipefail
build=${1:?usage: systemd_verify.sh BUILD_DIR}

analyze=$(command -v systemd-analyze || true)
units=/usr/lib/systemd/system
if [[ -z $analyze || ! -d $units ]]; then
  echo "skipped: systemd-analyze or $units is not on this machine"
  exit 77
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/opt/okvbridge" >/dev/null
unit=$root/opt/okvbridge/linux/okvbridge@.service
[[ -f $unit ]] || { echo "FAIL: the package holds no linux/okvbridge@.service"; exit 1; }
[[ -x $root/opt/okvbridge/okvbridge-run ]] || { echo "FAIL: the package holds no okvbridge-run"; exit 1; }
mkdir -p "$root/etc/systemd/system" "$root/usr/lib/systemd"
cp "$unit" "$root/etc/systemd/system/"
cp -a "$units" "$root/usr/lib/systemd/"

rc=0
said=$("$analyze" verify --root="$root" okvbridge@4.service 2>&1) || rc=$?
if [[ $rc -ne 0 || -n $said ]]; then
  echo "FAIL: systemd-analyze verify okvbridge@4.service: exit $rc"
  printf '%s\n' "$said"
  exit 1
fi
echo "ok: okvbridge@4.service verifies cleanly"
