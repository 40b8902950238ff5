#!/usr/bin/env bash
# --target=podcast, and a target of -10 LUFS that the ceiling must hold back, checked
# by a loudness meter independent of libebur128: ffmpeg's own ebur128 filter
# (peak=true). Music, bursts and mixed material (with silences, as speech has), mono
# and stereo, at 44.1, 48 and 96 kHz: integrated loudness within 0.5 LU of the target
# (or the transcript says by how much the ceiling held it back) and
# the true peak at or below -1 dBTP, as ffmpeg prints them (to 0.1). Then each result
# of -16 LUFS encoded to 192 kbit/s MP3, whose figures are printed for the record (an encoder's
# own overshoot is outside what the program controls).
# Exits 77 (skipped) when ffmpeg is not installed.
# Usage: delivery_hosts_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# FILE: "I PEAK" as ffmpeg's ebur128 prints them.
measure() {
  ffmpeg -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
    awk '/^ +I:/ { i = $2 } /^ +Peak:/ { p = $2 } END { print i, p }'
}

failed=0
for material in music bursts mixed; do
  "$build/wavgen" "$material" 5 "$material.wav" >/dev/null
  for rate in 44100 48000 96000; do
    for channels in 1 2; do
      input="$material-$rate-$channels.wav"
      ffmpeg -v error -y -i "$material.wav" -ar "$rate" -ac "$channels" -c:a pcm_s16le "$input"
      for target in -16 -10; do
        line=$("$build/twoband" --loudness="$target" -f "$input" | grep '^Loudness')
        read -r loudness peak < <(measure "C$input")
        verdict=ok
        if awk -v p="$peak" 'BEGIN { exit !(p > -1.0) }'; then verdict="true peak above -1 dBTP"; fi
        if awk -v i="$loudness" -v t="$target" 'BEGIN { exit !(i < t - 0.5 || i > t + 0.5) }' &&
           [[ $line != *"missed by"* ]]; then
          verdict="loudness off the target"
        fi
        mp3="no MP3 encoder"
        [ "$target" = -16 ] && ffmpeg -v error -y -i "C$input" -c:a libmp3lame -b:a 192k "C$input.mp3" 2>/dev/null
        [ "$target" = -16 ] && [ -s "C$input.mp3" ] &&
          mp3=$(measure "C$input.mp3" | awk '{ printf "MP3 %s LUFS, %s dBTP", $1, $2 }')
        [ "$target" = -16 ] || mp3="no MP3"
        printf '%-22s %3s LUFS: ffmpeg %6s LUFS, %5s dBTP; %s: %s\n' "$input" "$target" "$loudness" "$peak" "$mp3" \
          "$verdict"
        [ "$verdict" = ok ] || { failed=1; echo "  twoband said: $line"; }
      done
    done
  done
done
exit "$failed"
