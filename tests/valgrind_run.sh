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
# A memory error exits 99, apart from twoband's own status 1 for a failed run.
check="valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all"
$check "$twoband" song.wav 30 4 3 | grep -q '^Done !$'
echo "song.wav" | $check "$twoband" | grep -q '^Done !$'
status=0
$check "$twoband" missing.wav >missing.txt 2>/dev/null || status=$?
[ "$status" -eq 1 ] || { echo "missing.wav: status $status, not 1"; exit 1; }
grep -q 'Could not open missing.wav !' missing.txt
echo "valgrind: clean"
