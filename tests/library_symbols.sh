#!/usr/bin/env bash
# The library shows nothing but its API: the shared library (or DLL) exports exactly
# the functions the header declares, and the static library defines them, and
# everything of the engine, as hidden symbols, so that a shared object it is linked
# into exports none of them.
# Usage: library_symbols.sh HEADER SHARED_LIBRARY_OR_DLL [STATIC_LIBRARY]
set -euo pipefail
header=$1
shared=$2
static=${3:-}

declared=$(grep -oE '^TWOBAND_API [^(]*\btwoband_[a-z0-9_]+\(' "$header" | grep -oE 'twoband_[a-z0-9_]+' | sort)
[ -n "$declared" ] || { echo "no API found in $header"; exit 1; }
case $shared in
  *.dll)
    exported=$(x86_64-w64-mingw32-objdump -p "$shared" |
               sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -oE '^\s+\[ *[0-9]+\] [A-Za-z_][A-Za-z0-9_]*' |
               awk '{print $NF}' | sort) ;;
  *)
    exported=$(nm -D --defined-only "$shared" | awk '{print $3}' | sort) ;;
esac
if [ "$exported" != "$declared" ]; then
  echo "$shared exports:"; echo "$exported"; echo "the header declares:"; echo "$declared"
  exit 1
fi
if [ -n "$static" ]; then
  visible=$(readelf -sW "$static" | awk '$5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" {print $8}')
  [ -z "$visible" ] || { echo "$static defines visible symbols:"; echo "$visible"; exit 1; }
  for name in $declared; do
    readelf -sW "$static" | awk -v name="$name" '$8 == name && $7 != "UND"' | grep -q HIDDEN ||
      { echo "$static does not define $name"; exit 1; }
  done
fi
echo "exported: $(wc -w <<<"$declared") functions, as declared ($(basename "$shared"))"
