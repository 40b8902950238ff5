#!/usr/bin/env bash
# Runs the library of the Linux build and of another build (the Windows DLL under Wine,
# the Arm build under qemu) through the same hosts and requires the same samples:
# library_host on stereo, mono and 6-channel streams, 16-bit and float, in one call and
# in calls of random sizes, with and without settings changed part-way; and the example
# compress_stream, whose output must also be the program's on the same file.
# Usage: tools/compare_library.sh LINUX_BUILD_DIR NAME OTHER_BUILD_DIR RUNNER SUFFIX
#   e.g. tools/compare_library.sh build windows build-windows wine .exe
set -euo pipefail
linux=$(realpath "$1")
name=$2
other=$(realpath "$3")
runner=$4
suffix=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in mixed bursts music; do
  "$linux/wavgen" "$kind" 7 "$work/$kind.wav" >/dev/null
  tail -c +45 "$work/$kind.wav" >"$work/$kind.raw"
done
# Mono: the left channel of the mixed signal; 6 channels: the three signals side by side.
python3 - "$work" <<'EOF'
import array, sys
work = sys.argv[1]
streams = {k: array.array('h', open(f"{work}/{k}.raw", 'rb').read()) for k in ('mixed', 'bursts', 'music')}
frames = len(streams['mixed']) // 2
open(f"{work}/mono.raw", 'wb').write(streams['mixed'][0::2].tobytes())
six = array.array('h', bytes(12 * frames))
for pair, kind in enumerate(('mixed', 'bursts', 'music')):
    six[2 * pair::6] = streams[kind][0::2]
    six[2 * pair + 1::6] = streams[kind][1::2]
open(f"{work}/six.raw", 'wb').write(six.tobytes())
EOF

compared=0
changes=("" "1000 4 9 4 90000 100 1 1 90001 3 1 1 200000 57.3 2.5 3")
for stream in mixed:2 mono:1 six:6; do
  input=${stream%%:*}
  channels=${stream##*:}
  for mode in "s16 0" "s16 5" "f32 2" "f32 7"; do
    for change in "${changes[@]}"; do
      # A refused change is told on standard error, which is kept only to show a host that failed.
      # shellcheck disable=SC2086
      "$linux/library_host" "$channels" $mode $change <"$work/$input.raw" >"$work/linux.raw" 2>"$work/errors" ||
        { echo "library_host failed: $input, $mode, changes '$change' (linux)" >&2; cat "$work/errors" >&2; exit 1; }
      # shellcheck disable=SC2086
      $runner "$other/library_host$suffix" "$channels" $mode $change <"$work/$input.raw" >"$work/other.raw" 2>"$work/errors" ||
        { echo "library_host failed: $input, $mode, changes '$change' ($name)" >&2; cat "$work/errors" >&2; exit 1; }
      cmp -s "$work/linux.raw" "$work/other.raw" ||
        { echo "DIFFERENT library output: $input, $mode, changes '$change' ($name)" >&2; exit 1; }
      compared=$((compared + 1))
    done
  done
done

# The example, and the program on the same file.
cp "$work/mixed.wav" "$work/in.wav"
(cd "$work" && "$linux/twoband" in.wav >/dev/null)
tail -c +45 "$work/Cin.wav" >"$work/program.raw"
"$linux/compress_stream" 2 <"$work/mixed.raw" >"$work/linux.raw"
$runner "$other/compress_stream$suffix" 2 <"$work/mixed.raw" >"$work/other.raw"
cmp -s "$work/linux.raw" "$work/program.raw" || { echo "DIFFERENT: the example and the program" >&2; exit 1; }
cmp -s "$work/other.raw" "$work/program.raw" ||
  { echo "DIFFERENT: the example ($name) and the program" >&2; exit 1; }
echo "identical: $compared library runs and the example against the program's output ($name)"
