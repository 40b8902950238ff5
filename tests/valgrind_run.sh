#!/usr/bin/env bash
# Runs twoband under valgrind on a generated file, from the command line and at the
# prompt; any memory error or leak fails. Usage: valgrind_run.sh TWOBAND WAVGEN
set -euo pipefail
twoband=$1
wavgen=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$wavgen" mixed 3 "$work/song.wav" >/dev/null
cd "$work"
check="valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=all"
$check "$twoband" song.wav 30 4 3 | grep -q '^Done !$'
echo "song.wav" | $check "$twoband" | grep -q '^Done !$'
$check "$twoband" missing.wav | grep -q 'Could not open missing.wav !'
echo "valgrind: clean"
