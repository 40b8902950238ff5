#!/usr/bin/env bash
# Fetches the source of a Debian package into a cache folder, for the cross builds,
# which compile it with their own toolchain and the project's own CMake. Prints the
# folder. Nothing of it goes into the repository.
#
# Needs a deb-src line for Debian's archive: one is added under
# /etc/apt/sources.list.d when the system has none (as root, or through sudo).
# Usage: tools/debian_source.sh PACKAGE FILE [CACHE_DIR]
#   FILE: a file the unpacked source must hold (how a finished fetch is known)
#   CACHE_DIR: default build-deps beside tools/
set -euo pipefail
package=$1
file=$2
source_dir=$(realpath "$(dirname "$0")/..")
cache=$(realpath -m "${3:-$source_dir/build-deps}")
target="$cache/$package"
if [ -f "$target/$file" ]; then
  echo "$target"
  exit 0
fi
command -v apt-get >/dev/null || { echo "debian_source: not a Debian system; put $package's source in $target" >&2; exit 1; }
if ((EUID == 0)); then as_root=(); elif command -v sudo >/dev/null; then as_root=(sudo); else as_root=(false); fi
if ! grep -rqs -e '^deb-src' -e '^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "debian_source: adding Debian's source archive to apt's sources" >&2
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
# holds every file compiled) where only that arrives.
(cd "$work" && apt-get source -q "$package" >&2) ||
  (cd "$work" && compgen -G "${package}_*.orig.tar.*" >/dev/null && tar -xf "${package}"_*.orig.tar.* >&2) ||
  { echo "debian_source: apt-get source $package failed" >&2; exit 1; }
unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package*" | head -1)
[ -n "$unpacked" ] && [ -f "$unpacked/$file" ] || { echo "debian_source: no $file in $package's source" >&2; exit 1; }
mkdir -p "$cache"
rm -rf "$target"
mv "$unpacked" "$target"
echo "$target"
