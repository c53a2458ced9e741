#!/usr/bin/env bash
# Installs 32-bit Wine (wine32:i386) beside the 64-bit one, for the win32 build's tests.
#
# The normal install comes first. It fails where the i386 indexes lag the amd64 ones: a mirror mid-sync
# serves no i386 index of the security updates, and then a multi-arch library that must match its
# installed amd64 twin byte for byte in version exists for i386 only one revision behind. Only then,
# for the libraries named in PLACEHOLDER_OK (media and desktop pieces that console programs under Wine
# never load), an empty local package of that name is installed for i386 at the amd64 twin's version,
# each one named in a warning, and the install is tried again from the main release. Exits non-zero,
# with the reason, when even that does not go through.
set -euo pipefail

usage() {
  cat <<'TXT'
Usage: scripts/install-wine32.sh [--dry-run]

Installs wine32:i386 (as root; adds the i386 architecture when missing). When the normal install
fails because an i386 multi-arch library lags its installed amd64 twin, and that library is one that
console programs under Wine do not use, installs an empty placeholder package for it (named in a
warning) and tries again. Exit status 0 when 32-bit Wine is installed, 1 when it cannot be.

  --dry-run   say which placeholders would be made, and install nothing
  -h, --help  this text
TXT
}

dry_run=0
case "${1:-}" in
  "") ;;
  --dry-run) dry_run=1 ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

export DEBIAN_FRONTEND=noninteractive
# Libraries Wine links for sound, video, scanners, printers and cameras: a console program's run
# never loads them, so an empty stand-in costs the tests nothing. Anything else that lags stops the
# fallback: a placeholder for a library the programs do use would hide a real breakage.
PLACEHOLDER_OK='^lib(gstreamer[-a-z0-9.]*|gst[-a-z0-9.]*|pulse[0-9]*|asound2|sane1|cups2|gphoto2-[0-9]+|v4l-0|openal1|sdl2-[-0-9.]+|usb-1\.0-0|pcsclite1|gphoto2-port[0-9]+)$'

# The main release of this Debian: its i386 indexes are the ones a mirror serves whole.
release=$(. /etc/os-release && echo "$VERSION_CODENAME")

say() { echo "install-wine32: $*" >&2; }

wine32_installed() { dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; }

# The i386 libraries the resolver gives up on, one name a line (without the architecture).
unmet_i386() {
  apt-get install -s -t "$release" --no-install-recommends wine32:i386 2>&1 |
    sed -n 's/.*Depends: \([^ :]*\):i386.*but it is not going to be installed.*/\1/p' | sort -u
}

# An empty package of that name for i386 at the installed amd64 twin's version; prints its path.
make_placeholder() {
  local name=$1 version=$2 dir
  dir=$(mktemp -d)
  mkdir -p "$dir/pkg/DEBIAN"
  cat >"$dir/pkg/DEBIAN/control" <<CONTROL
Package: $name
Version: $version
Architecture: i386
Multi-Arch: same
Maintainer: okvbridge CI <ci@localhost>
Section: oldlibs
Priority: optional
Description: empty local stand-in for $name:i386
 Made by okvbridge's scripts/install-wine32.sh because the i386 package lags its amd64 twin
 on the mirror; 32-bit Wine depends on it for media only, which console programs do not use.
CONTROL
  dpkg-deb --build --root-owner-group "$dir/pkg" "$dir/$name.deb" >/dev/null
  echo "$dir/$name.deb"
}

if wine32_installed; then
  say "wine32:i386 is already installed"
  exit 0
fi
if [ "$dry_run" = 0 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  if apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; then
    say "wine32:i386 installed"
    exit 0
  fi
  say "the normal install of wine32:i386 failed; trying placeholders for lagging i386 libraries"
fi

for round in 1 2 3 4 5; do
  mapfile -t lagging < <(unmet_i386)
  if [ "${#lagging[@]}" = 0 ]; then
    break
  fi
  for name in "${lagging[@]}"; do
    twin=$(dpkg-query -W -f='${Version} ${Status}' "$name:amd64" 2>/dev/null || true)
    case "$twin" in
      *" ok installed") version=${twin%% *} ;;
      *) say "cannot install wine32:i386: $name:i386 is missing and has no installed amd64 twin"
         exit 1 ;;
    esac
    if ! [[ "$name" =~ $PLACEHOLDER_OK ]]; then
      say "cannot install wine32:i386: $name:i386 ($version) is missing, and console programs may use it"
      exit 1
    fi
    say "WARNING: $name:i386 lags its amd64 twin ($version) on this mirror;" \
        "an empty placeholder $name:i386 $version stands in for it (Wine uses it for media only)"
    if [ "$dry_run" = 1 ]; then
      continue
    fi
    deb=$(make_placeholder "$name" "$version")
    dpkg -i "$deb" >/dev/null
    rm -rf "$(dirname "$deb")"
  done
  [ "$dry_run" = 1 ] && exit 0
  say "round $round: placeholders in place, trying again"
done

if [ "$dry_run" = 0 ] && apt-get install -y -qq --no-install-recommends -t "$release" wine32:i386 >/dev/null; then
  say "wine32:i386 installed, with the placeholders named above"
  exit 0
fi
say "cannot install wine32:i386 here, even with placeholders"
exit 1
