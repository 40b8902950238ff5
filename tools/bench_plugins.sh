#!/usr/bin/env bash
# Times the LV2 plugin inside ffmpeg on a generated 10-minute stereo file, side by side
# with ffmpeg's own compressor and with a filter that does nothing (the host's own
# cost): CPU time (user + system), medians of alternating runs. Target: the plugin's
# share (its run minus the empty one) at most 0.5 of acompressor's share.
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
[ "$ok" -eq 1 ]
