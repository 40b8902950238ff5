#!/usr/bin/env bash
# Compresses every generated test input under every settings set with the Linux build
# and with another build of twoband, run by the command given (for instance
# "wine build-windows/twoband.exe" or "qemu-aarch64 build-aarch64/twoband"), and
# requires identical output files and standard output and error (CR LF read as LF).
# Usage: tools/compare_builds.sh LINUX_BUILD_DIR NAME COMMAND...
set -euo pipefail
linux=$(realpath "$1")
name=$2
shift 2
other=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kinds=(music bursts noise silence mixed)
settings=("" "4 1 1" "100 9 4" "60 3 4" "57.3 2.5 3" "3.99 5 2" "20 8" "12abc 2.5x 3.9")
compared=0
for kind in "${kinds[@]}"; do
  "$linux/wavgen" "$kind" 7 "$work/$kind.wav" >/dev/null
  for set in "${settings[@]}"; do
    for side in linux other; do
      mkdir -p "$work/$side"
      cp "$work/$kind.wav" "$work/$side/in.wav"
      rm -f "$work/$side/Cin.wav"  # a new output each time, where no mark may prove the last one
      # shellcheck disable=SC2086
      if [ $side = linux ]; then
        (cd "$work/$side" && "$linux/twoband" in.wav $set >console.txt 2>errors.txt)
      else
        (cd "$work/$side" && "${other[@]}" in.wav $set 2>errors.txt | tr -d '\r' >console.txt)
      fi
    done
    cmp -s "$work/linux/Cin.wav" "$work/other/Cin.wav" ||
      { echo "DIFFERENT output: $kind with settings '$set'" >&2; exit 1; }
    for stream in console errors; do
      tr -d '\r' <"$work/other/$stream.txt" | cmp -s "$work/linux/$stream.txt" - ||
        { echo "DIFFERENT $stream text: $kind with settings '$set'" >&2;
          diff "$work/linux/$stream.txt" "$work/other/$stream.txt" >&2; exit 1; }
    done
    compared=$((compared + 1))
  done
done
echo "identical: ${#kinds[@]} inputs x ${#settings[@]} settings sets = $compared output files and console texts ($name)"

# FLAC out: the encoder's bytes, not only its samples, are the same on both.
if [[ $("$linux/twoband" --help) == *FLAC* ]]; then
  for kind in "${kinds[@]}"; do
    for side in linux other; do
      rm -f "$work/$side/out.flac"
      cp "$work/$kind.wav" "$work/$side/in.wav"
    done
    (cd "$work/linux" && "$linux/twoband" -q -o out.flac in.wav)
    (cd "$work/other" && "${other[@]}" -q -o out.flac in.wav)
    cmp -s "$work/linux/out.flac" "$work/other/out.flac" || { echo "DIFFERENT FLAC output: $kind" >&2; exit 1; }
  done
  echo "identical: ${#kinds[@]} FLAC outputs ($name)"
fi
