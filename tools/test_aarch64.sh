#!/usr/bin/env bash
# Runs the 64-bit Arm build under qemu-aarch64 and proves it behaves like the x86-64
# build: the Arm test suite (unit tests, and the end-to-end tests against the Arm
# program), then every generated input under every settings set compared byte for
# byte, output files and console texts alike, the library through its C hosts, and
# the VST3 and CLAP modules through the project's plugin host.
# Usage: tools/test_aarch64.sh LINUX_BUILD_DIR AARCH64_BUILD_DIR
set -euo pipefail
linux=$(realpath "$1")
arm=$(realpath "$2")
program="$arm/twoband"

command -v qemu-aarch64 >/dev/null || { echo "test-aarch64: qemu-aarch64 is not installed (apt-get install qemu-user)" >&2; exit 1; }
[ -x "$program" ] || { echo "test-aarch64: $program is missing (make aarch64)" >&2; exit 1; }
version=$(qemu-aarch64 "$program" --version)
expected=$("$linux/twoband" --version)
[ "$version" = "$expected" ] || { echo "test-aarch64: the Arm program printed '$version'" >&2; exit 1; }

echo "== the Arm test suite under qemu-aarch64"
# The Arm tests run under the emulator; the program they start runs under it too.
TWOBAND_TEST_COMMAND="qemu-aarch64 $program" ctest --test-dir "$arm" -j 2 --label-exclude long \
  --output-on-failure --no-tests=error

echo "== x86-64 and Arm builds side by side"
"$(dirname "$0")/compare_builds.sh" "$linux" aarch64 qemu-aarch64 "$program"
"$(dirname "$0")/compare_library.sh" "$linux" aarch64 "$arm" qemu-aarch64 ""

echo "== the VST3 and CLAP modules for Arm, in the project's host under qemu-aarch64"
# The host and the modules are dynamic, as Arm hosts and plugins are: their runtimes
# come from the cross compiler's sysroot.
for format in vst3 clap; do
  MODULE_DIR=$arm QEMU_LD_PREFIX=/usr/aarch64-linux-gnu "$(dirname "$0")/../tests/plugin_formats_test.sh" \
    "$format" "$linux" qemu-aarch64 "$arm/plugins/plugin_host"
done
