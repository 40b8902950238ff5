#!/usr/bin/env bash
# The VST3 and CLAP plugins in the project's own host (plugin_host), against the
# program's samples for the same input: calls of random sizes, the settings as
# parameters, the defaults, the state saved and restored into a new instance, the
# transport starting after a stopped stretch, the factory presets, and the mono plugin.
# With "ardour-vst3-scanner" instead, Ardour 7's VST3 scanner indexes the bundle and
# must find both plugins with their released class IDs and channel counts (exits 77,
# skipped, when Ardour is not installed).
# Usage: plugin_formats_test.sh vst3|clap|ardour-vst3-scanner BUILD_DIR [HOST_COMMAND...]
#   HOST_COMMAND runs plugin_host (default: BUILD_DIR/plugins/plugin_host), e.g.
#   "wine plugin_host.exe" with MODULE_DIR set to the Windows modules' folder.
set -euo pipefail
format=$1
build=$(realpath "$2")
plugin_input=$(realpath "$(dirname "$0")/../tools/plugin_input.py")
shift 2
host=("$@")
((${#host[@]})) || host=("$build/plugins/plugin_host")
modules=${MODULE_DIR:-$build}
if [ "$format" = ardour-vst3-scanner ]; then
  scanner=/usr/lib/ardour7/ardour-vst3-scanner
  [ -x "$scanner" ] || { echo "Ardour 7 is not installed: skipped"; exit 77; }
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cp -r "$build/vst3/twoband.vst3" "$work/"
  XDG_CACHE_HOME=$work/cache HOME=$work LD_LIBRARY_PATH=/usr/lib/ardour7 \
    timeout 120 "$scanner" -f "$work/twoband.vst3" >"$work/scan.log" 2>&1 ||
    { echo "FAILED: the scanner: $(tail -3 "$work/scan.log")"; exit 1; }
  found=$(cat "$work"/cache/ardour7/vst/*.v3i)
  failed=0
  for row in '2046504473616C637453627400000000|twoband stereo VST3|2' \
             '2046504473616C636F4D627400000000|twoband mono VST3|1'; do
    IFS='|' read -r uid name channels <<<"$row"
    if grep -q "uid=\"$uid\" name=\"$name\" .* n_inputs=\"$channels\" n_outputs=\"$channels\"" <<<"$found"; then
      echo "found by Ardour's scanner: $name, $uid, $channels channels"
    else
      echo "FAILED: Ardour's scanner does not find $name as $uid with $channels channels"; failed=1
    fi
  done
  exit $failed
fi

case $format in
  vst3) module=$(echo "$modules"/vst3/twoband.vst3/Contents/*-linux/twoband.so)
        [[ ${host[0]} == wine ]] && module=$modules/vst3/twoband.vst3/Contents/x86_64-win/twoband.vst3
        stereo="twoband stereo VST3" mono="twoband mono VST3" ;;
  clap) module=$modules/clap/twoband.clap stereo=org.twoband.stereo mono=org.twoband.mono ;;
  *) echo "unknown format $format" >&2; exit 2 ;;
esac
command -v python3 >/dev/null || { echo "python3 is needed to read the samples" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$module" .
module=$(basename "$module")
[[ ${host[0]} == wine ]] || module=./$module
"$build/wavgen" music 3 music.wav >/dev/null
"$build/wavgen" bursts 2 bursts.wav >/dev/null


# Rows: NAME SOURCE CHANNELS FRAMES "PROGRAM SETTINGS" "HOST OPTIONS". The presets'
# settings are the program's: 20 8 2, 6 3 1, 30 6 2, 60 9 4.
rows=(
  "stereo music 2 132300|30 4 3|--set 30 4 3 --blocks 1"
  "mono music 1 132300|30 4 3|--set 30 4 3 --blocks 2"
  "bursts bursts 2 88200|30 4 3|--set 30 4 3 --blocks 3"
  "odd music 2 100001|30 4 3|--set 30 4 3 --blocks 4"
  "defaults music 2 132300||--blocks 5"
  "state music 2 132300|30 4 3|--set 30 4 3 --state --blocks 6"
  "state-mono music 1 132300|60 2 1|--set 60 2 1 --state --blocks 7"
  "transport music 2 132300|30 4 3|--set 30 4 3 --idle 44100 --blocks 8"
  "transport-mono music 1 132300|30 4 3|--set 30 4 3 --idle 30000 --blocks 9"
)
[ "$format" = vst3 ] && rows+=(
  "preset-gentle music 2 132300|6 3 1|--program 1 --blocks 10"
  "preset-dense music 2 132300|60 9 4|--program 3 --blocks 11"
)
failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r input settings options <<<"$row"
  read -r name source channels frames <<<"$input"
  mkdir "$name"
  (cd "$name" && "$plugin_input" "../$source.wav" "$channels" "$frames" in)
  # shellcheck disable=SC2086
  (cd "$name" && "$build/twoband" in.wav $settings >/dev/null)
  python3 -c 'import sys, wave
w = wave.open(sys.argv[1]); sys.stdout.buffer.write(w.readframes(w.getnframes()))' \
    "$name/Cin.wav" >"$name/expected.raw"
  plugin=$stereo
  [ "$channels" = 1 ] && plugin=$mono
  # shellcheck disable=SC2086
  if ! timeout 120 "${host[@]}" "$format" "$module" "$plugin" "$channels" "$name/in.raw" "$name/out.raw" \
      $options; then
    echo "FAILED: $format $name: the host failed"; failed=1
  elif cmp -s "$name/expected.raw" "$name/out.raw"; then
    echo "same samples: $format $name ($options)"
  else
    echo "FAILED: $format $name ($options): $(cmp "$name/expected.raw" "$name/out.raw" 2>&1 | head -1)"
    failed=1
  fi
done
exit $failed
