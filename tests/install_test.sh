#!/usr/bin/env bash
# Installs the build into a scratch root, and builds the .deb and unpacks it into
# another; both must give a working twoband and a man page that renders cleanly.
# Usage: install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check_tree() {  # ROOT: the tree holds bin/twoband and share/man/man1/twoband.1
  local root=$1
  [ "$("$root/bin/twoband" --version)" = "twoband $version" ]
  "$root/bin/twoband" --help | grep -q '^Usage: twoband'
  local page="$root/share/man/man1/twoband.1.gz"
  [ -f "$page" ]
  if ! command -v man >/dev/null; then
    echo "man is not installed: rendering not checked"
    return 0
  fi
  local warnings
  warnings=$(MANWIDTH=80 man -l --warnings=w "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man page warnings: $warnings"; return 1; }
  local text
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS SETTINGS FILES "EXIT STATUS" EXAMPLES; do
    grep -q "^$section\$" <<<"$text" || { echo "man page lacks $section"; return 1; }
  done
}

cmake --install "$build" --prefix "$scratch/installed" >/dev/null
check_tree "$scratch/installed"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null)
deb=$(ls "$scratch"/package/twoband_*.deb)
dpkg-deb --field "$deb" Package | grep -qx twoband
dpkg -x "$deb" "$scratch/unpacked"
check_tree "$scratch/unpacked/usr"
echo "install and package: ok"
