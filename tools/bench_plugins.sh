#!/usr/bin/env bash
# Times the LV2 plugin inside ffmpeg on a generated 10-minute stereo file, side by side
# with ffmpeg's own compressor and with a filter that does nothing (the host's own
# cost): CPU time (user + system), medians of alternating runs. Target: the plugin's
# share (its run minus the empty one) at most 0.5 of acompressor's share. Then the
# CLAP and VST3 plugins in the project's host against the library's float call in the
# same calls of 64 frames (processor time of the calls alone, medians of alternating
# runs). Target: at most 1.2 times the library's. And a quiet float sine's harmonics
# through the LV2 plugin (tools/harmonics.cpp): none above the dither noise.
# Usage: tools/bench_plugins.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-5}
command -v ffmpeg >/dev/null || { echo "bench: ffmpeg is not installed: the plugins are not timed"; exit 0; }
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
[ -f "$build/lv2/twoband.lv2/twoband.so" ] || { echo "bench: no LV2 bundle in $build" >&2; exit 1; }
export LV2_PATH="$build/lv2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/wavgen" music 600 song.wav >/dev/null

filters=(
  "anull"
  "acompressor"
  "lv2=p=https\\\\://twoband.org/plugins/lv2/stereo:c=max_gain=20|recover_speed=8|feedback_speed=2"
)
names=(anull acompressor twoband)
for name in "${names[@]}"; do : >"$name.runs"; done
for _ in $(seq "$runs"); do
  for i in "${!filters[@]}"; do
    # Every run converts to 16 bits and encodes, as writing a file would.
    /usr/bin/time -f '%U %S' -o time ffmpeg -nostdin -v error -y -i song.wav -af "${filters[$i]}" \
      -c:a pcm_s16le -f null - >/dev/null
    awk '{ printf "%.3f\n", $1 + $2 }' time >>"${names[$i]}.runs"
  done
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
empty=$(median <anull.runs)
compressor=$(median <acompressor.runs)
plugin=$(median <twoband.runs)
ratio=$(echo "($plugin - $empty) / ($compressor - $empty)" | bc -l)
ok=$(echo "$ratio <= 0.5" | bc -l)
printf 'ffmpeg on 10 minutes of 44.1 kHz stereo, CPU time, medians of %d runs:\n' "$runs"
printf '  -af anull          %.3f s\n  -af acompressor    %.3f s (share %.3f s)\n' \
  "$empty" "$compressor" "$(echo "$compressor - $empty" | bc -l)"
printf '  -af lv2 (twoband)  %.3f s (share %.3f s)\n' "$plugin" "$(echo "$plugin - $empty" | bc -l)"
printf "the plugin's share against acompressor's: %.2f (target at most 0.50: %s)\n" "$ratio" \
  "$([ "$ok" -eq 1 ] && echo ok || echo MISSED)"
status=0
[ "$ok" -eq 1 ] || status=1

# A -80 dBFS float sine through the LV2 plugin: its quantisation to 16 bits dithered, so
# no harmonic stands above the noise (within the spread of the measurement, 3 dB). The
# same sine rounded without dither shows what the measurement finds otherwise.
sine="aevalsrc=1e-4*sin(2*PI*997*t)|1e-4*sin(2*PI*997*t):s=48000:d=12"
ffmpeg -nostdin -v error -f lavfi -i "$sine" -c:a pcm_f32le sine.wav
ffmpeg -nostdin -v error -i sine.wav -af "${filters[2]}" -f f32le through_plugin.f32
ffmpeg -nostdin -v error -i sine.wav -c:a pcm_s16le -f wav - | ffmpeg -nostdin -v error -i - -f f32le rounded.f32
highest() { "$build/harmonics" "$1" 2 48000 997 2 | awk '/^highest/ { print $3 + 0 }'; }
through=$(highest through_plugin.f32)
rounded=$(highest rounded.f32)
ok=$(echo "$through <= 3" | bc -l)
printf 'a -80 dBFS float sine at 997 Hz, its highest harmonic (2nd to 9th) over the noise:\n'
printf '  rounded to 16 bits without dither   %+.1f dB\n' "$rounded"
printf '  through the LV2 plugin              %+.1f dB (target at most +3.0: %s)\n' "$through" \
  "$([ "$ok" -eq 1 ] && echo ok || echo MISSED)"
[ "$ok" -eq 1 ] || status=1

host=$build/plugins/plugin_host
if [ -x "$host" ] && [ -f "$build/clap/twoband.clap" ]; then
  python3 -c 'import sys, wave
w = wave.open("song.wav"); sys.stdout.buffer.write(w.readframes(w.getnframes()))' >song.raw
  vst3=$(echo "$build"/vst3/twoband.vst3/Contents/*-linux/twoband.so)
  for name in library clap vst3; do : >"$name.calls"; done
  for _ in $(seq "$runs"); do
    "$host" library - - 2 song.raw out.raw --block 64 --time | awk '{print $1}' >>library.calls
    "$host" clap "$build/clap/twoband.clap" org.twoband.stereo 2 song.raw out.raw --block 64 --time |
      awk '{print $1}' >>clap.calls
    "$host" vst3 "$vst3" "twoband stereo VST3" 2 song.raw out.raw --block 64 --time |
      awk '{print $1}' >>vst3.calls
  done
  library=$(median <library.calls)
  printf 'plugin_host on the same file in calls of 64 frames, processor time of the calls, medians of %d runs:\n' "$runs"
  printf '  the library (twoband_process_f32)  %.3f s\n' "$library"
  for name in clap vst3; do
    took=$(median <"$name.calls")
    ratio=$(echo "$took / $library" | bc -l)
    ok=$(echo "$ratio <= 1.2" | bc -l)
    printf '  %-4s                               %.3f s: %.2f of the library (target at most 1.20: %s)\n' \
      "$name" "$took" "$ratio" "$([ "$ok" -eq 1 ] && echo ok || echo MISSED)"
    [ "$ok" -eq 1 ] || status=1
  done
else
  echo "bench: no CLAP or VST3 plugin in $build: not timed"
fi
exit $status
