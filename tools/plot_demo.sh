#!/usr/bin/env bash
# Plots the demo input's and output's level over time (peak per 10 ms of each
# channel, in dBFS) and the band gains, into docs/demo.png.
# Usage: tools/plot_demo.sh BUILD_DIR OUT.png
set -euo pipefail
build=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/wavgen" music 10 "$work/demo.wav" >/dev/null
"$build/wavtrace" "$work/demo.wav" >"$work/trace.tsv"
gnuplot <<PLOT
set terminal pngcairo size 1100,760 font "DejaVu Sans,11"
set output "$out"
set datafile separator "\t"
set key outside right top
set grid
set multiplot layout 2,1 title "twoband on the 10-second demo (default settings)"
db(x) = x > 0 ? 20 * log10(x / 32768.0) : -90
set ylabel "peak per 10 ms (dBFS)"
set yrange [-60:0]
set xrange [0:10]
set format x ""
set lmargin 10
set rmargin 18
plot "$work/trace.tsv" using 1:(db(\$2)) skip 1 with lines lw 1.2 lc rgb "#9aa7b8" title "input L", \
     "" using 1:(db(\$3)) skip 1 with lines lw 1.2 lc rgb "#c9d1dc" title "input R", \
     "" using 1:(db(\$4)) skip 1 with lines lw 1.5 lc rgb "#d1495b" title "output L", \
     "" using 1:(db(\$5)) skip 1 with lines lw 1.5 lc rgb "#edae49" title "output R"
set ylabel "gain"
set yrange [0:*]
set format x "%g"
set xlabel "time (s)"
plot "$work/trace.tsv" using 1:6 skip 1 with lines lw 1.5 lc rgb "#00798c" title "high L", \
     "" using 1:7 skip 1 with lines lw 1.5 lc rgb "#30638e" title "high R", \
     "" using 1:8 skip 1 with lines lw 1.5 lc rgb "#66a182" title "low L", \
     "" using 1:9 skip 1 with lines lw 1.5 lc rgb "#2e4057" title "low R", \
     "" using 1:10 skip 1 with lines lw 1.5 dt 2 lc rgb "#d1495b" title "master"
unset multiplot
PLOT
echo "wrote $out"
