#!/usr/bin/env bash
# Runs the plugins in a real host on real files and requires the samples the program
# writes for the same input: `twoband in.wav 30 4 3` against the host with the
# plugin set to 30, 4 and 3, on a stereo file, a mono one (through the mono plugin),
# a 48 kHz one and one of an odd number of frames; and, in the hosts that can, the
# plugin's defaults against the program's. Only the samples are compared: every host
# writes a header of its own.
# Exits 77 (skipped) when the host is not installed.
# Usage: plugin_hosts_test.sh HOST BUILD_DIR
#   HOST: ffmpeg-lv2, ffmpeg-ladspa, sox, applyplugin, ecasound-ladspa, ecasound-lv2
set -euo pipefail
host=$1
build=$(realpath "$2")
export LV2_PATH="$build/lv2" LADSPA_PATH="$build/ladspa"
stereo_uri='https://twoband.org/plugins/lv2/stereo'
mono_uri='https://twoband.org/plugins/lv2/mono'

case $host in
  ffmpeg-*) needed=ffmpeg ;;
  ecasound-*) needed=ecasound ;;
  *) needed=$host ;;
esac
command -v "$needed" >/dev/null || { echo "$needed is not installed: skipped"; exit 77; }
command -v python3 >/dev/null || { echo "python3 is needed to read the samples" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/wavgen" music 3 music.wav >/dev/null
"$build/wavgen" bursts 2 bursts.wav >/dev/null

# SOURCE CHANNELS RATE FRAMES OUT: the first FRAMES of SOURCE (mono: its left channel)
# as a file of that rate.
make_input() {
  python3 - "$@" <<'PY'
import sys, wave
source, channels, rate, frames, out = sys.argv[1], *map(int, sys.argv[2:5]), sys.argv[5]
with wave.open(source) as w:
    data = w.readframes(frames)
if channels == 1:  # the left channel
    data = b"".join(data[i:i + 2] for i in range(0, len(data), 4))
with wave.open(out, "wb") as w:
    w.setnchannels(channels)
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes(data)
PY
}

# The samples of a WAV file, whatever its header.
samples() {
  python3 -c 'import sys, wave
w = wave.open(sys.argv[1]); sys.stdout.buffer.write(w.readframes(w.getnframes()))' "$1"
}

# Runs the host on IN with the plugin for CHANNELS, writing OUT; a minute at most. With
# SET "defaults" the host is given no control values and takes the plugin's defaults
# (returns 3 for a host that has no defaults to give).
run_host() {
  local in=$1 out=$2 channels=$3 rate=$4 set=$5
  local uri=$stereo_uri label=twoband_stereo
  if [ "$channels" = 1 ]; then uri=$mono_uri label=twoband_mono; fi
  local lv2=":c=max_gain=30|recover_speed=4|feedback_speed=3" ladspa=":c=c0=30|c1=4|c2=3"
  local values=(30 4 3) commas=",30,4,3"
  if [ "$set" = defaults ]; then
    # applyplugin needs every control; ecasound gives 0 to the controls it is not given.
    case $host in applyplugin | ecasound-*) return 3 ;; esac
    lv2="" ladspa="" values=() commas=""
  fi
  case $host in
    ffmpeg-lv2)
      timeout 60 ffmpeg -nostdin -v error -y -i "$in" -af "lv2=p=${uri//:/\\\\:}$lv2" \
        -fflags +bitexact -flags:a +bitexact -c:a pcm_s16le "$out" ;;
    ffmpeg-ladspa)
      timeout 60 ffmpeg -nostdin -v error -y -i "$in" -af "ladspa=f=twoband:p=$label$ladspa" \
        -fflags +bitexact -flags:a +bitexact -c:a pcm_s16le "$out" ;;
    sox) timeout 60 sox -D "$in" "$out" ladspa twoband "$label" "${values[@]}" ;;
    applyplugin)
      timeout 60 applyplugin "$in" "$out" twoband.so "$label" "${values[@]}" >/dev/null ;;
    ecasound-ladspa)
      timeout 60 ecasound -q -f:16,"$channels","$rate" -i "$in" -o "$out" -el:"$label$commas" >/dev/null ;;
    ecasound-lv2)
      timeout 60 ecasound -q -f:16,"$channels","$rate" -i "$in" -o "$out" -elv2:"$uri$commas" >/dev/null ;;
    *) echo "unknown host $host" >&2; exit 2 ;;
  esac
}

# Rows: NAME SOURCE CHANNELS RATE FRAMES SETTINGS. The defaults row: an LV2 host starts
# at 20, 8 and 2, as the program does; a LADSPA host at 20, 7 and 2, what the hints give.
defaults="20 7 2"
[[ $host == *lv2 ]] && defaults=""
failed=0
for row in "stereo music 2 44100 132300 30 4 3" \
           "mono music 1 44100 132300 30 4 3" \
           "rate48k bursts 2 48000 88200 30 4 3" \
           "odd music 2 44100 100001 30 4 3" \
           "defaults music 2 44100 132300 defaults"; do
  read -r name source channels rate frames set <<<"$row"
  settings=${set/defaults/$defaults}
  mkdir "$name"
  make_input "$source.wav" "$channels" "$rate" "$frames" "$name/in.wav"
  # shellcheck disable=SC2086
  (cd "$name" && "$build/twoband" in.wav $settings >/dev/null)
  samples "$name/Cin.wav" >"$name/expected.raw"
  status=0
  run_host "$name/in.wav" "$name/host.wav" "$channels" "$rate" "$set" || status=$?
  case $status in
    0) samples "$name/host.wav" >"$name/host.raw"
       if cmp -s "$name/expected.raw" "$name/host.raw"; then
         echo "same samples: $host on $name ($(stat -c %s "$name/host.raw") bytes)"
       else
         echo "FAILED: $host on $name: $(cmp "$name/expected.raw" "$name/host.raw" 2>&1 | head -1)"
         failed=1
       fi ;;
    3) echo "not run: $host on $name: the host takes no defaults" ;;
    *) echo "FAILED: $host on $name: the host failed"; failed=1 ;;
  esac
done
exit $failed
