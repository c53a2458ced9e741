#!/usr/bin/env bash
# Unpacks Debian's current kernel package into a folder, for the real-driver tests' QEMU guest
# (tests/uart/uart.py): the kernel and its modules, and nothing installed on this machine.
#
#   scripts/guest_kernel.sh [DIR]    DIR defaults to $OKV_GUEST_KERNEL or /var/cache/okvbridge-kernel
#
# The packages come through apt-get download (the lists must be fresh: apt-get update); a folder
# that already holds a kernel is left as it is.
set -euo pipefail

if [[ "${1:-}" == "-h" || "${1:-}" == "--help" ]]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
dir=${1:-${OKV_GUEST_KERNEL:-/var/cache/okvbridge-kernel}}
if compgen -G "$dir/boot/vmlinuz-*" >/dev/null; then
  echo "guest kernel: $(basename "$(ls "$dir"/boot/vmlinuz-* | tail -n 1)") already in $dir"
  exit 0
fi

# The meta package names the versioned image that holds the kernel.
image=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' |
        head -n 1)
if [[ -z "$image" ]]; then
  echo "guest kernel: apt-cache knows no linux-image-amd64 (apt-get update first)" >&2
  exit 1
fi
download=$(mktemp -d)
chmod 755 "$download"  # apt fetches as its own user
trap 'rm -rf "$download"' EXIT
echo "guest kernel: fetching $image"
(cd "$download" && apt-get download -q "$image" >/dev/null)
mkdir -p "$dir.part"
dpkg-deb -x "$download"/"$image"_*.deb "$dir.part"
# Only whole: a run cut short leaves no folder the tests would take for a kernel.
rm -rf "$dir"
mv "$dir.part" "$dir"
echo "guest kernel: $(basename "$(ls "$dir"/boot/vmlinuz-* | tail -n 1)") in $dir"
