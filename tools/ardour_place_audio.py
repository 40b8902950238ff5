#!/usr/bin/env python3
"""Puts a 16-bit stereo WAV file on the one track of an Ardour 7 session made by
ardour_session.lua, as Ardour's own import would: a 32-bit float mono file per channel
in the session's audio folder, a whole-file region over them, a region of the same on
the track's playlist at the session start without fades, and the session range around it.
The floats are the samples divided by 32768, exactly.

Usage: ardour_place_audio.py SESSION_DIR NAME IN.wav
"""
import array
import glob
import struct
import sys
import wave
import xml.etree.ElementTree as ET

SUPERCLOCK = 282240000  # Ardour's time unit, ticks per second

session_dir, name, source = sys.argv[1:4]
with wave.open(source) as w:
    assert w.getnchannels() == 2 and w.getsampwidth() == 2, "a 16-bit stereo file"
    rate, frames = w.getframerate(), w.getnframes()
    samples = array.array("h", w.readframes(frames))
    assert sys.byteorder == "little"


def write_float_wav(path, values):
    data = struct.pack(f"<{len(values)}f", *(v / 32768 for v in values))
    fmt = struct.pack("<HHIIHH", 3, 1, rate, rate * 4, 4, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


path = f"{session_dir}/{name}.ardour"
tree = ET.parse(path)
root = tree.getroot()
next_id = int(root.get("id-counter")) + 1
ids = list(range(next_id, next_id + 4))
root.set("id-counter", str(next_id + 4))
length = f"a{frames * SUPERCLOCK // rate}"

# Ardour names the audio folder after the session folder.
(audio_dir,) = glob.glob(f"{session_dir}/interchange/*/audiofiles")
sources = root.find("Sources")
for channel, side in enumerate("LR"):
    file_name = f"twoband-input%{side}.wav"
    write_float_wav(f"{audio_dir}/{file_name}", samples[channel::2])
    ET.SubElement(sources, "Source", {"name": file_name, "type": "audio", "flags": "",
                                      "id": str(ids[channel]), "channel": "0", "origin": "",
                                      "natural-position": "a0", "gain": "1"})


def region(parent, region_id, whole):
    return ET.SubElement(parent, "Region", {
        "name": "twoband-input" + ("" if whole else ".1"), "id": str(region_id), "type": "audio",
        "whole-file": "1" if whole else "0", "start": "a0", "length": f"{length}@a0",
        "position": "a0", "sync-position": "a0", "muted": "0", "opaque": "1",
        "envelope-active": "0", "default-fade-in": "0", "default-fade-out": "0",
        "fade-in-active": "0", "fade-out-active": "0", "scale-amplitude": "1", "channels": "2",
        "source-0": str(ids[0]), "source-1": str(ids[1]),
        "master-source-0": str(ids[0]), "master-source-1": str(ids[1])})


region(root.find("Regions"), ids[2], True)
playlist = root.find("Playlists/Playlist")
region(playlist, ids[3], False)
ET.SubElement(root.find("Locations"), "Location", {
    "id": str(next_id + 4), "name": "session", "start": "a0", "end": length,
    "flags": "IsSessionRange", "locked": "0", "cue": "0"})
root.set("id-counter", str(next_id + 5))
tree.write(path, encoding="UTF-8", xml_declaration=True)
