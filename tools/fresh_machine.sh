#!/usr/bin/env bash
# The README's two commands on a fresh machine: a new Debian root that holds only what
# a fresh machine of this kind has (cmake, g++, make, GoogleTest, pkg-config, python3,
# git), a clean clone of this repository's HEAD inside it, then `make demo` and
# `make test` there, as a new user runs them. Their dependency step has to install the
# rest from Debian's packages, so a package missing from tools/dependencies, or a part
# that breaks configuring when its package is absent, fails here.
# Usage: tools/fresh_machine.sh [ROOT]   (as root; needs mmdebstrap; ROOT is removed after)
set -euo pipefail
source_dir=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
root=${1:-$(mktemp -d /tmp/twoband-fresh.XXXXXX)}
suite=bookworm
mirror=http://deb.debian.org/debian

cleanup() {
  [ -d "$root" ] || return 0
  for point in "$root/dev" "$root/proc"; do
    mountpoint -q "$point" && umount -l "$point"
  done
  rm -rf "$root"
}
trap cleanup EXIT

echo "== a fresh $suite root in $root"
mmdebstrap --quiet --variant=apt \
  --include=ca-certificates,cmake,g++,make,libgtest-dev,libgmock-dev,pkgconf,python3,git \
  --setup-hook='mkdir -p "$1/etc/apt/sources.list.d"' \
  "$suite" "$root" \
  "deb $mirror $suite main" "deb $mirror $suite-updates main" \
  "deb http://deb.debian.org/debian-security $suite-security main"

mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$source_dir" "$root/home/twoband"

# No standard input, as in CI; the environment of a new login.
echo "== make demo, then make test, on the fresh machine"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
  /bin/bash -euc '
    cd /home/twoband
    make demo
    # The README: after either command, cmake --install puts the program where it says.
    cmake --install build >/dev/null
    /usr/local/bin/twoband --version
    test -f /usr/local/share/man/man1/twoband.1.gz
    make test
    cmake --install build >/dev/null
    test -f /usr/local/lib/ladspa/twoband.so' </dev/null
echo "== the fresh machine ran make demo and make test"
