#!/usr/bin/env python3
"""Cuts a plugin test's input from a generated WAV file: NAME.wav for the program and
NAME.raw (its interleaved 16-bit samples) for a plugin host.

Usage: plugin_input.py SOURCE.wav CHANNELS FRAMES NAME   (CHANNELS 1 keeps the left)
"""
import sys
import wave

source, channels, frames, name = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
with wave.open(source) as w:
    data = w.readframes(frames)
if channels == 1:
    data = b"".join(data[i:i + 2] for i in range(0, len(data), 4))
with wave.open(name + ".wav", "wb") as w:
    w.setnchannels(channels)
    w.setsampwidth(2)
    w.setframerate(44100)
    w.writeframes(data)
with open(name + ".raw", "wb") as raw:
    raw.write(data)
