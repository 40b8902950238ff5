#!/usr/bin/env bash
# Times the real twoband binary end to end on a generated 10-minute file: the median
# of several runs, and its peak memory against the input size. Runs sox's compand on
# the same file side by side when sox is installed.
# Usage: tools/bench_end_to_end.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-5}
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/wavgen" music 600 "$work/song.wav" >/dev/null
input_bytes=$(stat -c %s "$work/song.wav")

# Prints "SECONDS PEAK_KIB" for one run of the command given.
timed() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $(cat "$work/rss")"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cd "$work"
: >twoband.times
peak=0
for _ in $(seq "$runs"); do
  read -r seconds kib < <(timed "$build/twoband" song.wav)
  echo "$seconds" >>twoband.times
  ((kib > peak)) && peak=$kib
done
grep -q . Csong.wav || { echo "bench: twoband produced no output" >&2; exit 1; }
twoband_median=$(median <twoband.times)
limit_kib=$(((input_bytes + 4 * 1024 * 1024) / 1024))

printf 'input: 10 minutes of 44.1 kHz stereo, %d bytes\n' "$input_bytes"
printf 'twoband: median %.3f s of %d runs (%.0f MB/s), peak memory %d KiB (limit %d KiB: input + 4 MiB) %s\n' \
  "$twoband_median" "$runs" "$(echo "$input_bytes / $twoband_median / 1000000" | bc -l)" \
  "$peak" "$limit_kib" "$([ "$peak" -le "$limit_kib" ] && echo ok || echo OVER)"

if command -v sox >/dev/null; then
  : >sox.times
  for _ in $(seq "$runs"); do
    read -r seconds _ < <(timed sox song.wav sox.wav compand 0.01,0.2 -60,-60,-30,-15,0,-5 -3)
    echo "$seconds" >>sox.times
  done
  sox_median=$(median <sox.times)
  printf 'sox compand: median %.3f s; twoband takes %.2f of its time\n' \
    "$sox_median" "$(echo "$twoband_median / $sox_median" | bc -l)"
else
  echo "sox is not installed: no side-by-side run"
fi
[ "$peak" -le "$limit_kib" ]
