#!/usr/bin/env bash
# The stereo plugins in a DAW as its users run it, against the program's samples for
# the same 16-bit input: Ardour 7 on its dummy audio engine makes a session with the
# plugin on a track, found by type and name, its three settings changed
# (tools/ardour_session.lua), the audio placed at the session start
# (tools/ardour_place_audio.py), then renders a 16-bit WAV without dither, either with
# ardour7-export or as the export dialog's "Realtime Export" (tools/ardour_render.lua).
# The render equals the program's output from its first sample because the plugins
# start afresh when the transport starts rolling.
# Exits 77 (skipped) when the host is not installed.
# Usage: plugin_daw_test.sh ardour BUILD_DIR
set -euo pipefail
host=$1
build=$(realpath "$2")
tools=$(realpath "$(dirname "$0")/../tools")
command -v python3 >/dev/null || { echo "python3 is needed to read the samples" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/wavgen" music 3 music.wav >/dev/null
"$tools/plugin_input.py" music.wav 2 132300 in
frames=132300

# The samples of a WAV file, whatever its header.
samples() {
  python3 -c 'import sys, wave
w = wave.open(sys.argv[1]); sys.stdout.buffer.write(w.readframes(w.getnframes()))' "$1"
}

case $host in
  ardour)
    command -v ardour7-lua >/dev/null && command -v ardour7-export >/dev/null ||
      { echo "Ardour 7 is not installed: skipped"; exit 77; }
    export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
    export LV2_PATH=$work/lv2 VST3_PATH=$work/vst3
    mkdir -p lv2 vst3 config/ardour7/export
    cp -r "$build/lv2/twoband.lv2" lv2/
    cp -r "$build/vst3/twoband.vst3" vst3/
    # Ardour lists a VST3 plugin only from its scanner's index, and takes the index as
    # stale unless it is newer than the module (the scanner stamps it to the second).
    find vst3 -exec touch -d '-1 minute' {} +
    LD_LIBRARY_PATH=/usr/lib/ardour7 timeout 120 /usr/lib/ardour7/ardour-vst3-scanner \
      -f "$work/vst3/twoband.vst3" >scan.log 2>&1 || { echo "FAILED: the VST3 scanner"; exit 1; }
    # The export preset of ardour_render.lua: a 16-bit WAV, no dither, no normalising.
    cat >config/ardour7/export/twoband.format <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<ExportFormatSpecification name="twoband 16-bit WAV" id="2b2b0001-0000-4000-8000-000000000001">
  <Encoding id="F_WAV" type="T_Sndfile" extension="wav" name="WAV" has-sample-format="true" channel-limit="256"/>
  <SampleRate rate="1"/>
  <SRCQuality quality="SRC_SincBest"/>
  <EncodingOptions>
    <Option name="sample-format" value="SF_16"/>
    <Option name="dithering" value="D_None"/>
  </EncodingOptions>
  <Processing><Normalize enabled="false" target="-0"/></Processing>
</ExportFormatSpecification>
XML
    cat >config/ardour7/export/twoband.preset <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<ExportPreset id="2b2b0002-0000-4000-8000-000000000002" name="twoband 16-bit WAV">
  <ExportFormat id="2b2b0001-0000-4000-8000-000000000001"/>
</ExportPreset>
XML
    # Rows: NAME TYPE RENDER SETTINGS|PLUGIN, the plugin by the name Ardour lists.
    rows=("lv2-export LV2 export 30 4 3|twoband stereo LV2"
          "lv2-realtime LV2 realtime 60 2 1|twoband stereo LV2"
          "vst3-realtime VST3 realtime 30 4 3|twoband stereo VST3"
          "vst3-preset VST3 realtime 6 3 1|twoband stereo VST3") ;;
  *) echo "unknown host $host" >&2; exit 2 ;;
esac

failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r fields plugin <<<"$row"
  read -r name type render g r f <<<"$fields"
  mkdir "$name"
  cp in.wav "$name/in.wav"
  (cd "$name" && "$build/twoband" in.wav "$g" "$r" "$f" >/dev/null)
  samples "$name/Cin.wav" >"$name/expected.raw"
  session=$work/$name/session
  if ! timeout 120 ardour7-lua "$tools/ardour_session.lua" "$session" twoband "$type" "$plugin" \
         "$g" "$r" "$f" >"$name/log" 2>&1 ||
     ! "$tools/ardour_place_audio.py" "$session" twoband in.wav >>"$name/log" 2>&1; then
    echo "FAILED: ardour $name: no session: $(grep -m1 -i error "$name/log")"; failed=1; continue
  fi
  if [ "$render" = export ]; then
    timeout 120 ardour7-export -b 16 -o "$work/$name/render.wav" "$session" twoband >>"$name/log" 2>&1 || true
  else
    timeout 120 ardour7-lua "$tools/ardour_render.lua" "$session" twoband "$frames" "$work/$name" \
      >>"$name/log" 2>&1 || true
  fi
  if [ ! -f "$name/render.wav" ]; then
    echo "FAILED: ardour $name: no render: $(grep -m1 -i error "$name/log")"; failed=1
  elif samples "$name/render.wav" | cmp -s "$name/expected.raw" -; then
    echo "same samples: ardour $name ($plugin, $render, $g $r $f)"
  else
    echo "FAILED: ardour $name ($plugin, $render): $(samples "$name/render.wav" | cmp "$name/expected.raw" - 2>&1 | head -1)"
    failed=1
  fi
done
exit $failed
