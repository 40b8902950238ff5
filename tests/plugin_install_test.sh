#!/usr/bin/env bash
# Installs the build into a scratch prefix, and unpacks the .deb that holds the plugins
# into a scratch root: in both, the LV2 bundle and the LADSPA library must be where
# hosts look (lib/lv2/twoband.lv2/, lib/ladspa/), found by lv2ls and listplugins with
# LV2_PATH and LADSPA_PATH pointed there, export nothing but their entry points, and
# the bundle's data must pass lv2_validate; and, where built, the VST3 bundle and the
# CLAP file (lib/vst3/twoband.vst3/Contents/ARCH-linux/twoband.so, lib/clap/twoband.clap)
# with their entry points alone.
# Usage: plugin_install_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
uris=("https://twoband.org/plugins/lv2/stereo" "https://twoband.org/plugins/lv2/mono")
labels=(twoband_stereo twoband_mono)

check_tree() {  # PREFIX: the plugins installed under PREFIX/lib
  local prefix=$1
  local bundle=$prefix/lib/lv2/twoband.lv2 ladspa=$prefix/lib/ladspa/twoband.so
  for file in "$bundle/manifest.ttl" "$bundle/twoband.ttl" "$bundle/twoband.so" "$ladspa"; do
    [ -f "$file" ] || { echo "missing: $file"; return 1; }
  done
  [ "$(nm -D --defined-only "$bundle/twoband.so" | awk '{print $3}')" = lv2_descriptor ] ||
    { echo "the LV2 binary exports more than lv2_descriptor"; return 1; }
  [ "$(nm -D --defined-only "$ladspa" | awk '{print $3}')" = ladspa_descriptor ] ||
    { echo "the LADSPA library exports more than ladspa_descriptor"; return 1; }
  if [ -d "$build/vst3" ]; then
    local vst3 clap=$prefix/lib/clap/twoband.clap
    vst3=$prefix/lib/vst3/twoband.vst3/Contents/$(uname -m)-linux/twoband.so
    [ -f "$vst3" ] && [ -f "$clap" ] || { echo "missing: $vst3 or $clap"; return 1; }
    [ "$(nm -D --defined-only "$vst3" | awk '{print $3}' | sort | tr '\n' ' ')" = \
      "GetPluginFactory ModuleEntry ModuleExit " ] || { echo "the VST3 module exports more"; return 1; }
    [ "$(nm -D --defined-only "$clap" | awk '{print $3}')" = clap_entry ] ||
      { echo "the CLAP file exports more than clap_entry"; return 1; }
  fi
  if command -v lv2ls >/dev/null; then
    local found
    found=$(LV2_PATH=$prefix/lib/lv2 lv2ls 2>/dev/null)
    for uri in "${uris[@]}"; do
      grep -qx "$uri" <<<"$found" || { echo "lv2ls does not find $uri"; return 1; }
      # The factory presets, by name.
      local info
      info=$(LV2_PATH=$prefix/lib/lv2 lv2info "$uri" 2>/dev/null)
      for preset in "Program defaults" "Gentle levelling" "Even speech" "Dense and loud"; do
        grep -q "^[[:space:]]*$preset\$" <<<"$info" || { echo "lv2info: no preset $preset of $uri"; return 1; }
      done
    done
  else
    echo "lv2ls is not installed (lilv-utils): not checked"
  fi
  if command -v listplugins >/dev/null; then
    local listed
    listed=$(LADSPA_PATH=$prefix/lib/ladspa listplugins 2>/dev/null)
    for label in "${labels[@]}"; do
      grep -q "([0-9]*/$label)\$" <<<"$listed" ||
        { echo "listplugins does not find $label"; return 1; }
    done
  else
    echo "listplugins is not installed (ladspa-sdk): not checked"
  fi
  if command -v lv2_validate >/dev/null && command -v sord_validate >/dev/null; then
    local report
    report=$(lv2_validate "$bundle/manifest.ttl" "$bundle/twoband.ttl" 2>&1) ||
      { echo "lv2_validate: $report"; return 1; }
    grep -q '^Found 0 errors' <<<"$report" || { echo "lv2_validate: $report"; return 1; }
    ! grep -qi 'warning' <<<"$report" || { echo "lv2_validate: $report"; return 1; }
  else
    echo "lv2_validate or sord_validate is not installed (lv2-dev, sordi): not checked"
  fi
}

cmake --install "$build" --prefix "$scratch/installed" >/dev/null
check_tree "$scratch/installed"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null)
unpacked=0
for deb in "$scratch"/package/*.deb; do
  if grep -q '/lib/lv2/twoband.lv2/' <<<"$(dpkg-deb --contents "$deb")"; then
    dpkg -x "$deb" "$scratch/unpacked"
    unpacked=1
  fi
done
[ $unpacked = 1 ] || { echo "no package holds the plugins"; exit 1; }
check_tree "$scratch/unpacked/usr"
echo "plugins installed and packaged: ok"
