#!/usr/bin/env bash
# Times the real twoband binary end to end on a generated 10-minute file, side by side
# with the last build that loaded the whole file into memory (built from git history
# into BUILD_DIR/bench-baseline on first use): CPU time (user + system) and peak
# memory of each, medians of alternating runs, with the targets checked:
#   CPU time at most 0.45 of the whole-file build's, peak memory at most 4 MiB.
# Then the same file through a pipe against the file run (CPU at most 1.05 of it), the
# same audio as 24-bit and float WAV (at most 1.15 of the 16-bit file's), a FLAC file in
# and out against flac -d | twoband | flac -5 (at most 0.8 of it), and the FLAC
# pipeline through ffmpeg against ffmpeg's own compressor where installed.
# Then the mark every output carries: a run (with -f, which proves nothing) against
# the last build before outputs were marked (BUILD_DIR/bench-unmarked), CPU at most
# 1.02 of it; and proving the earlier output of the 10-minute file (106 MB) before
# replacing it, a run without -f against one with it: the difference at most 0.10
# of the run.
# Then --target=podcast against a plain run (CPU at most 3 times, memory under 8 MiB)
# and against ffmpeg's two-pass loudnorm (CPU at most 0.5 of it).
# Then eight 3-minute files in one run against eight runs one after another:
#   wall time at most 0.60 of the eight runs', peak memory at most 4 MiB per core + 4 MiB.
# Last, a table of CPU time and peak memory on the 10-minute file: twoband, the same
# program with only the literal kernel (built into BUILD_DIR/bench-literal), and
# sox's mcompand and ffmpeg's acompressor where they are installed.
# Usage: tools/bench_end_to_end.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
runs=${2:-5}
source_dir=$(realpath "$(dirname "$0")/..")
whole_file_commit=311ead0  # the last commit that read the whole file at once
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
command -v cc >/dev/null || { echo "bench: a C compiler is needed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

baseline="$build/bench-baseline/twoband"
if [ ! -x "$baseline" ]; then
  if git -C "$source_dir" cat-file -e "$whole_file_commit^{commit}" 2>/dev/null; then
    echo "bench: building the whole-file build ($whole_file_commit) for comparison"
    mkdir -p "$work/baseline-src"
    git -C "$source_dir" archive "$whole_file_commit" | tar -x -C "$work/baseline-src"
    cmake -S "$work/baseline-src" -B "$build/bench-baseline" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build/bench-baseline" --target twoband -j 2 >/dev/null
  else
    echo "bench: no git history here; the whole-file build is not compared"
    baseline=""
  fi
fi

# The last build before every output carried a mark, for the mark's cost.
unmarked_commit=7eda1d9
unmarked="$build/bench-unmarked/twoband"
if [ ! -x "$unmarked" ] && git -C "$source_dir" cat-file -e "$unmarked_commit^{commit}" 2>/dev/null; then
  echo "bench: building the build before the marks ($unmarked_commit) for comparison"
  mkdir -p "$work/unmarked-src"
  git -C "$source_dir" archive "$unmarked_commit" | tar -x -C "$work/unmarked-src"
  cmake -S "$work/unmarked-src" -B "$build/bench-unmarked" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build/bench-unmarked" --target twoband -j 2 >/dev/null
fi

# The same program with only the literal kernel, for the speed table.
literal="$build/bench-literal/twoband"
cmake -S "$source_dir" -B "$build/bench-literal" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTWOBAND_LITERAL_KERNEL=ON >/dev/null
cmake --build "$build/bench-literal" --target twoband -j 2 >/dev/null

"$build/wavgen" music 600 "$work/song.wav" >/dev/null
input_bytes=$(stat -c %s "$work/song.wav")
cd "$work"

# Runs a command as /usr/bin/time does, and prints its CPU time (user + system, of it and
# the children it waited for) to the microsecond, where /usr/bin/time prints steps of
# 10 ms, and its peak memory in KiB; its exit status is the command's.
cat >"$work/cputime.c" <<'EOF'
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    if (argc < 2) return 2;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 1;
    printf("%.6f %ld\n", (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
EOF
cc -O2 -o "$work/cputime" "$work/cputime.c"

# Appends "CPU_SECONDS PEAK_KIB" of one run of the command given to the file named first.
measure() {
  local into=$1
  shift
  "$work/cputime" "$@" >>"$into"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Times two commands in turn, A B A B ..., RUNS times each (or PAIRS, where set): the
# command before --vs into the file A_RUNS, the one after it (if any) into B_RUNS (a
# line a run, by `measure`, or TIMER where set, e.g. measure_wall); FRESH, where set,
# is removed before every run. Then a_cpu and b_cpu are the medians of the first
# figure, ratio is a_cpu / b_cpu and verdict says whether it is at most LIMIT ("ok") or
# not ("MISSED", which also clears ok); a LIMIT of - judges nothing.
versus() {  # A_RUNS B_RUNS LIMIT COMMAND... [--vs COMMAND...]
  local into_a=$1 into_b=$2 limit=$3
  shift 3
  local -a first=()
  while [ $# -gt 0 ] && [ "$1" != --vs ]; do
    first+=("$1")
    shift
  done
  [ $# -eq 0 ] || shift
  : >"$into_a"
  : >"$into_b"
  for _ in $(seq "${PAIRS:-$runs}"); do
    [ -z "${FRESH:-}" ] || rm -f $FRESH
    "${TIMER:-measure}" "$into_a" "${first[@]}"
    [ $# -eq 0 ] && continue
    [ -z "${FRESH:-}" ] || rm -f $FRESH
    "${TIMER:-measure}" "$into_b" "$@"
  done
  a_cpu=$(cut -d' ' -f1 "$into_a" | median)
  verdict=-
  [ $# -gt 0 ] || return 0
  b_cpu=$(cut -d' ' -f1 "$into_b" | median)
  ratio=$(echo "$a_cpu / $b_cpu" | bc -l)
  [ "$limit" != - ] || return 0
  if [ "$(echo "$ratio <= $limit" | bc -l)" -eq 1 ]; then verdict=ok; else verdict=MISSED; ok=0; fi
}

: >baseline.runs
ok=1
# Each run writes a new output (an earlier one would be proven first: timed below).
if [ -n "$baseline" ]; then
  FRESH=Csong.wav versus twoband.runs baseline.runs 0.45 "$build/twoband" song.wav --vs "$baseline" song.wav
else
  FRESH=Csong.wav versus twoband.runs baseline.runs - "$build/twoband" song.wav
fi
grep -q . Csong.wav || { echo "bench: twoband produced no output" >&2; exit 1; }

peak=$(cut -d' ' -f2 twoband.runs | sort -n | tail -1)
limit_kib=4096
printf 'input: 10 minutes of 44.1 kHz stereo, %d bytes; medians of %d runs\n' "$input_bytes" "$runs"
printf 'twoband:           CPU %.3f s, peak memory %6d KiB (target at most %d KiB: %s)\n' \
  "$a_cpu" "$peak" "$limit_kib" "$([ "$peak" -le "$limit_kib" ] && echo ok || echo MISSED)"
[ "$peak" -le "$limit_kib" ] || ok=0
if [ -n "$baseline" ]; then
  printf 'whole-file build:  CPU %.3f s, peak memory %6d KiB\n' "$b_cpu" "$(cut -d' ' -f2 baseline.runs | sort -n | tail -1)"
  printf 'CPU time ratio: %.2f (target at most 0.45: %s)\n' "$ratio" "$verdict"
fi

# A pipe: the same file through standard input and output, against the file run, both
# started by a shell, pair by pair: CPU time at most 1.05 of the file run's.
versus pipe.runs file.runs 1.05 sh -c '"$0" - <song.wav >piped.wav' "$build/twoband" \
  --vs sh -c '"$0" -f song.wav' "$build/twoband"
cmp -s piped.wav Csong.wav || { echo "bench: the pipe gave other bytes than the file run" >&2; exit 1; }
printf 'through a pipe:    CPU %.3f s against %.3f s for the file: ratio %.2f (target at most 1.05: %s)\n' \
  "$a_cpu" "$b_cpu" "$ratio" "$verdict"
# The same audio as 24-bit PCM and as 32-bit float WAV, against the 16-bit file: CPU at
# most 1.15 of its (the samples are on the 16-bit grid, as the same audio's are), each
# paired with 16-bit runs of its own, twice as many pairs as elsewhere: the difference
# is small beside the machine's noise; and 24-bit samples off the grid (dithered), for
# the record.
if command -v sox >/dev/null; then
  sox song.wav -b 24 song24.wav
  sox song.wav -e floating-point -b 32 songf.wav
  sox song.wav -b 24 song24dither.wav vol 0.999
  for kind in 24 f; do
    PAIRS=$((2 * runs)) versus "wav$kind.runs" "wav16$kind.runs" 1.15 "$build/twoband" -f "song$kind.wav" \
      --vs "$build/twoband" -f song.wav
    printf '%s WAV:    CPU %.3f s against %.3f s for 16-bit: ratio %.2f (target at most 1.15: %s)\n' \
      "$([ "$kind" = f ] && echo 'float ' || echo 24-bit)" "$a_cpu" "$b_cpu" "$ratio" "$verdict"
  done
  cmp -s <(tail -c "$((input_bytes - 44))" Csong.wav) <(tail -c "$((input_bytes - 44))" Csong24.wav) ||
    { echo "bench: the 24-bit file gave other samples than the 16-bit one" >&2; exit 1; }
  : >wav24dither.runs
  for _ in $(seq "$runs"); do measure wav24dither.runs "$build/twoband" -f song24dither.wav; done
  printf '24-bit WAV off the 16-bit grid (dithered): CPU %.3f s\n' "$(cut -d' ' -f1 wav24dither.runs | median)"
else
  echo "sox is not installed: the 24-bit and float rows are left out"
fi
# A 16-bit FLAC file in and out, against the pipeline through flac: CPU at most 0.8 of
# the pipeline's, every process counted, and the same samples.
if command -v flac >/dev/null && [[ $("$build/twoband" --help) == *FLAC* ]]; then
  flac -s -5 -f song.wav -o song.flac
  versus flacdirect.runs flacpipe.runs 0.8 "$build/twoband" -f song.flac \
    --vs sh -c 'flac -s -d -c song.flac | "$0" - 2>/dev/null | flac -s -5 -f -o piped.flac -' "$build/twoband"
  decode() { flac -s -d -c --force-raw-format --endian=little --sign=signed "$1"; }
  cmp -s <(decode Csong.flac) <(decode piped.flac) ||
    { echo "bench: the FLAC run gave other samples than the pipeline" >&2; exit 1; }
  printf 'FLAC in and out:   CPU %.3f s against %.3f s for flac -d | twoband | flac -5: ratio %.2f (target at most 0.8: %s)\n' \
    "$a_cpu" "$b_cpu" "$ratio" "$verdict"
else
  echo "flac is not installed, or this build has no FLAC: the FLAC row is left out"
fi
# The mark: its digest taken as the bytes stream out, and its attribute.
if [ -x "$unmarked" ]; then
  versus marked.runs unmarked.runs 1.02 "$build/twoband" -f song.wav --vs "$unmarked" -f song.wav
  printf 'the mark:          CPU %.3f s against %.3f s unmarked: ratio %.3f (target at most 1.02: %s)\n' \
    "$a_cpu" "$b_cpu" "$ratio" "$verdict"
else
  echo "bench: no git history here; the mark's cost is not measured"
fi
# Proving the earlier output (left by the run before) before replacing it.
# (The share is the ratio less 1.) The output left by the unmarked build is no earlier
# output of this one: a run with -f replaces it first.
"$build/twoband" -f song.wav >/dev/null 2>&1
versus proving.runs forced.runs 1.10 "$build/twoband" song.wav --vs "$build/twoband" -f song.wav
getfattr -n user.twoband.mark Csong.wav >/dev/null 2>&1 || ! command -v getfattr >/dev/null ||
  { echo "bench: the output carries no mark" >&2; exit 1; }
printf 'proving a 106 MB earlier output: CPU %.3f s against %.3f s with -f: %.3f of the run (target at most 0.10: %s)\n' \
  "$a_cpu" "$b_cpu" "$(echo "$ratio - 1" | bc -l)" "$verdict"
# And the pipeline a user would run on a FLAC file, against ffmpeg's own compressor:
# the CPU time of every process of each.
if command -v ffmpeg >/dev/null; then
  ffmpeg -v error -y -i song.wav song.flac
  versus pipeline.runs acompressor.runs - \
    sh -c 'ffmpeg -v error -i song.flac -f wav - | "$0" - 2>/dev/null | ffmpeg -v error -y -f wav -i - out.flac' "$build/twoband" \
    --vs ffmpeg -v error -y -i song.flac -af acompressor out-acompressor.flac
  printf 'FLAC in, FLAC out: ffmpeg | twoband | ffmpeg CPU %.3f s, ffmpeg acompressor %.3f s\n' "$a_cpu" "$b_cpu"
fi

# The delivery stage: --target=podcast (two passes, loudness measured twice) against a
# plain run: CPU at most 3 times; against ffmpeg's two-pass loudnorm (print_format=json,
# then linear=true with the figures of the first): at most 0.5 of it; memory under 8 MiB.
FRESH='podcast.wav plain.wav' versus podcast.runs plain.runs 3 "$build/twoband" --target=podcast -o podcast.wav song.wav \
  --vs "$build/twoband" -o plain.wav song.wav
podcast_cpu=$a_cpu
podcast_peak=$(cut -d' ' -f2 podcast.runs | sort -n | tail -1)
[ "$podcast_peak" -lt 8192 ] || ok=0
printf -- '--target=podcast:  CPU %.3f s against %.3f s plain: ratio %.2f (target at most 3: %s); peak memory %d KiB (target under 8192 KiB: %s)\n' \
  "$a_cpu" "$b_cpu" "$ratio" "$verdict" "$podcast_peak" "$([ "$podcast_peak" -lt 8192 ] && echo ok || echo MISSED)"
: >loudnorm.runs
if command -v ffmpeg >/dev/null && command -v python3 >/dev/null; then
  loudnorm_twice() {
    local figures
    figures=$(ffmpeg -hide_banner -nostats -i plain.wav -af loudnorm=I=-16:TP=-1:print_format=json -f null - 2>&1 |
      python3 -c 'import json, sys; t = sys.stdin.read(); j = json.loads(t[t.rindex("{"):])
print(":".join("measured_%s=%s" % (k, j["input_" + k.lower()]) for k in ("I", "TP", "LRA", "thresh")))')
    ffmpeg -v error -y -i plain.wav -af "loudnorm=I=-16:TP=-1:$figures:linear=true" -ar 44100 loudnorm.wav
  }
  export -f loudnorm_twice
  for _ in $(seq "$runs"); do measure loudnorm.runs bash -c loudnorm_twice; done
fi
if [ -s loudnorm.runs ]; then
  loudnorm_cpu=$(cut -d' ' -f1 loudnorm.runs | median)
  loudnorm_ratio=$(echo "$podcast_cpu / $loudnorm_cpu" | bc -l)
  loudnorm_ok=$(echo "$loudnorm_ratio <= 0.5" | bc -l)
  printf -- '--target=podcast against ffmpeg two-pass loudnorm (%.3f s on the compressed file): ratio %.2f (target at most 0.5: %s)\n' \
    "$loudnorm_cpu" "$loudnorm_ratio" "$([ "$loudnorm_ok" -eq 1 ] && echo ok || echo MISSED)"
  [ "$loudnorm_ok" -eq 1 ] || ok=0
fi

# Several files: eight copies of a 3-minute file in one run, against eight one-file
# runs one after another. Wall time, since the one run uses every core.
"$build/wavgen" music 180 three.wav >/dev/null
mkdir -p several
for i in 1 2 3 4 5 6 7 8; do cp three.wav "several/song$i.wav"; done
cores=$(nproc)
# Appends "WALL_SECONDS PEAK_KIB" of one run of the command given to the file named first.
measure_wall() {
  local into=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>&1
  cat "$work/time" >>"$into"
}
FRESH='several/C*.wav' TIMER=measure_wall versus batch.runs serial.runs 0.60 "$build/twoband" several/song1.wav \
  several/song2.wav several/song3.wav several/song4.wav several/song5.wav several/song6.wav several/song7.wav \
  several/song8.wav --vs sh -c 'for i in 1 2 3 4 5 6 7 8; do "$0" several/song$i.wav || exit 1; done' "$build/twoband"
batch_peak=$(cut -d' ' -f2 batch.runs | sort -n | tail -1)
batch_limit=$((4096 * cores + 4096))
printf 'eight 3-minute files on %d cores: one run %.2f s wall, eight runs %.2f s: ratio %.2f (target at most 0.60: %s)\n' \
  "$cores" "$a_cpu" "$b_cpu" "$ratio" "$verdict"
printf 'one run over eight files: peak memory %d KiB (target at most %d KiB: %s)\n' "$batch_peak" "$batch_limit" \
  "$([ "$batch_peak" -le "$batch_limit" ] && echo ok || echo MISSED)"
[ "$batch_peak" -le "$batch_limit" ] || ok=0

# The speed table: twoband, its literal kernel, and the general tools a user would
# otherwise reach for, on the 10-minute file.
: >literal.runs
for _ in $(seq "$runs"); do measure literal.runs "$literal" -f song.wav; done
row() {  # NAME RUNS_FILE
  printf '| %s | %.2f | %d |\n' "$1" "$(cut -d' ' -f1 "$2" | median)" "$(cut -d' ' -f2 "$2" | sort -n | tail -1)"
}
table="| program | CPU s | peak KiB |\n|---|---|---|\n$(row twoband twoband.runs)\n$(row 'twoband, literal kernel' literal.runs)"
if command -v sox >/dev/null; then
  : >sox.runs
  for _ in $(seq "$runs"); do
    measure sox.runs sox song.wav sox.wav mcompand "0.005,0.1 -47,-40,-34,-34,-17,-33" 1000 \
      "0.003,0.05 -47,-40,-34,-34,-15,-33"
  done
  table="$table\n$(row 'sox mcompand (2 bands)' sox.runs)"
else
  echo "sox is not installed: its row is left out"
fi
if command -v ffmpeg >/dev/null; then
  : >ffmpeg.runs
  for _ in $(seq "$runs"); do measure ffmpeg.runs ffmpeg -v error -y -i song.wav -af acompressor ffmpeg.wav; done
  table="$table\n$(row 'ffmpeg acompressor' ffmpeg.runs)"
else
  echo "ffmpeg is not installed: its row is left out"
fi
printf '\nthe 10-minute file, medians of %d runs, on %s:\n%b\n' "$runs" \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores" "$table"
[ "$ok" -eq 1 ]
