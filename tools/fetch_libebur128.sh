#!/usr/bin/env bash
# Fetches Debian's source of libebur128 (one C file and its header) into a cache
# folder, for the cross builds, which compile it with their own toolchain
# (CMakeLists.txt, TWOBAND_EBUR128_SOURCE). Prints the folder that holds
# ebur128/ebur128.c. Nothing of it goes into the repository.
#
# Needs a deb-src line for Debian's archive: one is added under
# /etc/apt/sources.list.d when the system has none (as root, or through sudo).
# Usage: tools/fetch_libebur128.sh [CACHE_DIR]   (default: build-deps beside tools/)
set -euo pipefail
source_dir=$(realpath "$(dirname "$0")/..")
cache=$(realpath -m "${1:-$source_dir/build-deps}")
target="$cache/libebur128"
if [ -f "$target/ebur128/ebur128.c" ]; then
  echo "$target"
  exit 0
fi
command -v apt-get >/dev/null || { echo "fetch_libebur128: not a Debian system; put libebur128's sources in $target" >&2; exit 1; }
if ((EUID == 0)); then as_root=(); elif command -v sudo >/dev/null; then as_root=(sudo); else as_root=(false); fi
if ! grep -rqs -e '^deb-src' -e '^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "fetch_libebur128: adding Debian's source archive to apt's sources" >&2
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\n%s' "$codename" \
    "$([ -f $keyring ] && echo "Signed-By: $keyring")" |
    "${as_root[@]}" tee /etc/apt/sources.list.d/twoband-sources.sources >/dev/null
  "${as_root[@]}" apt-get update -q >&2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The whole source package where the archive serves it; its upstream tarball (which
# holds every file compiled here) where only that arrives.
(cd "$work" && apt-get source -q libebur128 >&2) ||
  (cd "$work" && compgen -G 'libebur128_*.orig.tar.*' >/dev/null && tar -xf libebur128_*.orig.tar.* >&2) ||
  { echo "fetch_libebur128: apt-get source libebur128 failed" >&2; exit 1; }
unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libebur128*' | head -1)
[ -f "$unpacked/ebur128/ebur128.c" ] || { echo "fetch_libebur128: no ebur128/ebur128.c in the source package" >&2; exit 1; }
mkdir -p "$cache"
rm -rf "$target"
mv "$unpacked" "$target"
echo "$target"
