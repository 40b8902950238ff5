#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on its corpus and prints a summary line
# each: executions and coverage reached. Usage: fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=$2
here=$(dirname "$0")
python3 "$here/make_seeds.py" "$build/corpus"
declare -A max_len=([engine]=140000 [fast_path]=140000 [command_line]=8192 [output_name]=256 [wav_layout]=4096
                   [library]=140000 [formats]=16384)
for target in engine fast_path command_line output_name wav_layout library formats; do
  log="$build/fuzz_$target.log"
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus/$target" >"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -o 'cov: [0-9]*' || true)
  echo "fuzz_$target: $execs executions in ${seconds}s, $cov"
done
