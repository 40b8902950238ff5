#!/usr/bin/env bash
# The Windows LADSPA DLL under Wine, run by the project's own host (ladspa_host.exe),
# against the Linux program on the same samples: stereo, mono, bursts that drive the
# limiter and an odd number of frames, in calls of 1000, 1 and 4096 frames. Also that
# the DLL exports ladspa_descriptor alone and needs no DLL but Windows' own. Then the
# VST3 and CLAP modules the same way (their entry points alone, Windows' DLLs alone),
# through plugin_host.exe and the rows of tests/plugin_formats_test.sh.
# Runs in the Wine prefix test_windows.sh has set up.
# Usage: tools/test_windows_plugin.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
source=$(realpath "$(dirname "$0")/..")
dll="$windows/ladspa/twoband-ladspa.dll"
host="$windows/plugins/ladspa/ladspa_host.exe"
for file in "$dll" "$host"; do
  [ -f "$file" ] || { echo "test-windows: $file is missing (make windows)" >&2; exit 1; }
done

dump=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk 'NR > 1 && NF {print $NF}')
[ "$exports" = ladspa_descriptor ] ||
  { echo "test-windows: the DLL exports: $exports" >&2; exit 1; }
imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll " ] ||
  { echo "test-windows: the DLL needs $imports" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$dll" "$host" .
"$linux/wavgen" music 3 music.wav >/dev/null
"$linux/wavgen" bursts 2 bursts.wav >/dev/null
# NAME CHANNELS FRAMES SOURCE: the WAV file for the program and its raw samples.
for row in "stereo 2 132300 music" "mono 1 132300 music" "bursts 2 88200 bursts" "odd 2 100001 music"; do
  read -r name channels frames from <<<"$row"
  "$source/tools/plugin_input.py" "$from.wav" "$channels" "$frames" "$name"
done
compared=0
for row in "stereo 2" "mono 1" "bursts 2" "odd 2"; do
  read -r name channels <<<"$row"
  label=twoband_stereo
  [ "$channels" = 1 ] && label=twoband_mono
  mkdir "$name" && cp "$name.wav" "$name/in.wav"
  (cd "$name" && "$linux/twoband" in.wav 30 4 3 >/dev/null)
  python3 -c 'import sys, wave
w = wave.open(sys.argv[1]); sys.stdout.buffer.write(w.readframes(w.getnframes()))' \
    "$name/Cin.wav" >"$name.expected"
  for block in 1000 1 4096; do
    timeout 120 wine ladspa_host.exe twoband-ladspa.dll "$label" "$channels" 30 4 3 \
      "$name.raw" "$name.out" "$block"
    cmp -s "$name.expected" "$name.out" ||
      { echo "DIFFERENT samples: the DLL on $name in calls of $block frames" >&2; exit 1; }
    compared=$((compared + 1))
  done
done
echo "identical: $compared runs of the LADSPA DLL under Wine and the Linux program's samples"

vst3="$windows/vst3/twoband.vst3/Contents/x86_64-win/twoband.vst3"
clap="$windows/clap/twoband.clap"
for row in "$vst3|ExitDll GetPluginFactory InitDll " "$clap|clap_entry "; do
  IFS='|' read -r module wanted <<<"$row"
  [ -f "$module" ] || { echo "test-windows: $module is missing (make windows)" >&2; exit 1; }
  dump=$(x86_64-w64-mingw32-objdump -p "$module")
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk 'NR > 1 && NF {print $NF}' |
            sort | tr '\n' ' ')
  [ "$exports" = "$wanted" ] || { echo "test-windows: $module exports: $exports" >&2; exit 1; }
  imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort | tr '\n' ' ')
  [ "$imports" = "KERNEL32.dll msvcrt.dll " ] || { echo "test-windows: $module needs $imports" >&2; exit 1; }
done
for format in vst3 clap; do
  MODULE_DIR=$windows "$source/tests/plugin_formats_test.sh" "$format" "$linux" \
    wine "$windows/plugins/plugin_host.exe"
done
