#!/usr/bin/env bash
# Runs the Windows build under Wine and proves it behaves like the Linux build:
# the end-to-end tests against twoband.exe, then every generated input under every
# settings set compared byte for byte, output files and console texts alike.
# Usage: tools/test_windows.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
exe="$windows/twoband.exe"

command -v wine >/dev/null || { echo "test-windows: wine is not installed" >&2; exit 1; }
[ -f "$exe" ] || { echo "test-windows: $exe is missing (make windows)" >&2; exit 1; }

# A private, headless Wine prefix; no prompts to install Mono or Gecko.
export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init >/dev/null 2>&1
  wineserver --wait
fi
version=$(wine "$exe" --version | tr -d '\r')
expected=$("$linux/twoband" --version)
[ "$version" = "$expected" ] || { echo "test-windows: twoband.exe under Wine printed '$version'" >&2; exit 1; }

echo "== end-to-end tests against twoband.exe under Wine"
TWOBAND_TEST_COMMAND="wine $exe" "$linux/tests/twoband_tests" --gtest_filter='EndToEnd.*' --gtest_brief=1

echo "== Linux and Windows builds side by side"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kinds=(music bursts noise silence mixed)
settings=("" "4 1 1" "100 9 4" "60 3 4" "57.3 2.5 3" "3.99 5 2" "20 8" "12abc 2.5x 3.9")
compared=0
for kind in "${kinds[@]}"; do
  "$linux/wavgen" "$kind" 7 "$work/$kind.wav" >/dev/null
  for set in "${settings[@]}"; do
    for side in linux windows; do
      mkdir -p "$work/$side"
      cp "$work/$kind.wav" "$work/$side/in.wav"
      # shellcheck disable=SC2086
      if [ $side = linux ]; then
        (cd "$work/$side" && "$linux/twoband" in.wav $set >console.txt)
      else
        (cd "$work/$side" && wine "$exe" in.wav $set | tr -d '\r' >console.txt)
      fi
    done
    cmp -s "$work/linux/Cin.wav" "$work/windows/Cin.wav" ||
      { echo "DIFFERENT output: $kind with settings '$set'" >&2; exit 1; }
    cmp -s "$work/linux/console.txt" "$work/windows/console.txt" ||
      { echo "DIFFERENT console text: $kind with settings '$set'" >&2;
        diff "$work/linux/console.txt" "$work/windows/console.txt" >&2; exit 1; }
    compared=$((compared + 1))
  done
done
echo "identical: ${#kinds[@]} inputs x ${#settings[@]} settings sets = $compared output files and console texts"
echo "test-windows: $compared passed, 0 failed"
