#!/usr/bin/env bash
# Installs the build into a scratch root, and builds the .deb packages and unpacks them
# into another; both must give a working twoband with a man page that renders cleanly,
# and a library that a program builds against with pkg-config alone (shared and
# static) and that gives the program's samples.
# Usage: install_test.sh BUILD_DIR VERSION LIBRARY_VERSION EXAMPLE_SOURCE [sanitized]
# A sanitized build's library is linked with the sanitizers, and not statically.
set -eEuo pipefail
build=$(realpath "$1")
version=$2
library_version=$3
example=$(realpath "$4")
sanitized=${5:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
trap 'echo "install_test.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR

# A stereo file, and its samples as the program compresses them.
"$build/wavgen" mixed 3 "$scratch/in.wav" >/dev/null
tail -c +45 "$scratch/in.wav" >"$scratch/in.raw"
(cd "$scratch" && "$build/twoband" in.wav >/dev/null)
tail -c +45 "$scratch/Cin.wav" >"$scratch/expected.raw"

check_page() {  # PAGE SECTION...: the page renders without warnings and has the sections
  local page=$1
  shift
  [ -f "$page" ] || { echo "no page $page"; return 1; }
  if ! command -v man >/dev/null; then
    echo "man is not installed: rendering not checked"
    return 0
  fi
  local warnings
  warnings=$(MANWIDTH=80 man -l --warnings=w "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man page warnings in $page: $warnings"; return 1; }
  local text
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in "$@"; do
    grep -q "^$section\$" <<<"$text" || { echo "$page lacks $section"; return 1; }
  done
}

check_library() {  # ROOT: a program built with pkg-config alone against ROOT's library
  local root=$1 out=$scratch/consumer
  local pcdir
  pcdir=$(dirname "$(find "$root" -name twoband.pc)")
  rm -rf "$out" && mkdir "$out"
  export PKG_CONFIG_PATH=$pcdir PKG_CONFIG_SYSROOT_DIR=
  [ "$(pkg-config --modversion twoband)" = "$library_version" ]
  local flags=()
  [ -z "$sanitized" ] || flags=(-fsanitize=address,undefined)
  # shellcheck disable=SC2046
  cc -Wall -Wextra -Werror "${flags[@]}" "$example" $(pkg-config --cflags --libs twoband) -o "$out/shared"
  if [ -z "$sanitized" ]; then
    # shellcheck disable=SC2046
    cc -Wall -Wextra -Werror "$example" $(pkg-config --static --cflags --libs twoband) -static -o "$out/static"
  fi
  unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
  LD_LIBRARY_PATH="$pcdir/.." "$out/shared" 2 <"$scratch/in.raw" >"$out/shared.raw"
  cmp "$out/shared.raw" "$scratch/expected.raw"
  if [ -z "$sanitized" ]; then
    "$out/static" 2 <"$scratch/in.raw" >"$out/static.raw"
    cmp "$out/static.raw" "$scratch/expected.raw"
  fi
  # The shared one is the installed library, by its soname.
  # (Outputs are read whole before grep: grep -q leaving early would fail the pipe.)
  local linked
  linked=$(LD_LIBRARY_PATH="$pcdir/.." ldd "$out/shared")
  grep -q "libtwoband.so.1 => $pcdir/../libtwoband.so.1" <<<"$linked"
  check_page "$root/share/man/man3/twoband.3.gz" NAME LIBRARY SYNOPSIS DESCRIPTION "RETURN VALUE" NOTES EXAMPLES
  [ "$(readlink "$root/share/man/man3/twoband_process_f32.3.gz")" = twoband.3.gz ]
}

check_tree() {  # ROOT: the tree holds the program, the library and their pages
  local root=$1
  [ "$("$root/bin/twoband" --version)" = "twoband $version" ]
  grep -q '^Usage: twoband' <<<"$("$root/bin/twoband" --help)"
  check_page "$root/share/man/man1/twoband.1.gz" NAME SYNOPSIS DESCRIPTION OPTIONS SETTINGS FILES "EXIT STATUS" EXAMPLES
  check_library "$root"
}

cmake --install "$build" --prefix "$scratch/installed" >/dev/null
check_tree "$scratch/installed"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null)
for package in twoband libtwoband1 libtwoband-dev; do
  deb=$(ls "$scratch"/package/${package}_*.deb)
  [ "$(dpkg-deb --field "$deb" Package)" = "$package" ]
  dpkg -x "$deb" "$scratch/unpacked"
done
# Each package has only its own part.
runtime=$(dpkg-deb --contents "$scratch"/package/libtwoband1_*.deb)
grep -q '/libtwoband\.so\.1 -> ' <<<"$runtime"
if grep -E 'twoband\.h|\.pc$|\.a$|bin/|\.so -> ' <<<"$runtime"; then
  echo "libtwoband1 holds more than the shared library"
  exit 1
fi
[ "$(dpkg-deb --field "$scratch"/package/libtwoband-dev_*.deb Depends)" = "libtwoband1 (= $version)" ]
[ "$(dpkg-deb --ctrl-tarfile "$scratch"/package/libtwoband1_*.deb | tar -xO ./triggers)" = 'activate-noawait ldconfig' ]
check_tree "$scratch/unpacked/usr"
echo "install and packages: ok"
