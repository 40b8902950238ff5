#!/usr/bin/env bash
# Runs the Windows build under Wine and proves it behaves like the Linux build:
# the end-to-end tests against twoband.exe, then every generated input under every
# settings set compared byte for byte, output files and console texts alike, then
# twoband.dll through the library's C hosts against the Linux library, and the LADSPA
# plugin DLL against the Linux program.
# Usage: tools/test_windows.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
exe="$windows/twoband.exe"

command -v wine >/dev/null || { echo "test-windows: wine is not installed" >&2; exit 1; }
[ -f "$exe" ] || { echo "test-windows: $exe is missing (make windows)" >&2; exit 1; }

# A private, headless Wine prefix; no prompts to install Mono or Gecko.
# UTF-8 arguments and file names reach Wine as Unicode only under a UTF-8 locale.
export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init >/dev/null 2>&1
  wineserver --wait
fi
# One wineserver for the whole run: left to itself it exits a few seconds after each
# program, and a program started just then loses its connection ("recvmsg:
# Connection reset by peer") and fails the run for nothing.
wineserver --persistent 2>/dev/null || true  # one may be running for this prefix already
trap 'wineserver --kill 2>/dev/null || true' EXIT
version=$(wine "$exe" --version | tr -d '\r')
expected=$("$linux/twoband" --version)
[ "$version" = "$expected" ] || { echo "test-windows: twoband.exe under Wine printed '$version'" >&2; exit 1; }

echo "== end-to-end tests against twoband.exe under Wine"
TWOBAND_TEST_COMMAND="wine $exe" TWOBAND_LONG_TESTS=1 "$linux/tests/twoband_tests" --gtest_filter='EndToEnd*' --gtest_brief=1

echo "== Linux and Windows builds side by side"
"$(dirname "$0")/compare_builds.sh" "$linux" windows wine "$exe"

echo "== the library: twoband.dll through C hosts under Wine, against the Linux build"
"$(dirname "$0")/../tests/library_symbols.sh" "$(dirname "$0")/../include/twoband/twoband.h" "$windows/twoband.dll"
[ -f "$windows/libtwoband.dll.a" ] || { echo "test-windows: no import library beside twoband.dll" >&2; exit 1; }
"$(dirname "$0")/compare_library.sh" "$linux" windows "$windows" wine .exe

echo "== the LADSPA plugin DLL under Wine against the Linux program"
"$(dirname "$0")/test_windows_plugin.sh" "$linux" "$windows"
