#!/usr/bin/env python3
"""Writes the small seed corpus of each fuzz target into the folder given."""
import math
import os
import shutil
import subprocess
import struct
import sys
import tempfile


def frames(pairs):
    return b"".join(struct.pack("<hh", left, right) for left, right in pairs)


def header():
    return b"RIFF" + bytes(range(40))


def engine_seeds():
    settings_default = struct.pack("<II", 0x3F000000, 0x80000000) + b"\x01"
    settings_bounds = struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFE) + b"\x03"
    tone = [(int(20000 * math.sin(n / 7.0)), int(-15000 * math.sin(n / 5.0))) for n in range(300)]
    square = [(32767, -32768) if (n // 20) % 2 else (-32768, 32767) for n in range(300)]
    return {
        "empty": settings_default,
        "header_only": settings_default + header(),
        "tone": settings_default + header() + frames(tone),
        "square_partial": settings_bounds + header() + frames(square) + b"\x7f\x80\x01",
        "silence_after_loud": settings_bounds + header() + frames(square[:100] + [(0, 0)] * 400),
    }


def command_line_seeds():
    return {
        "defaults": b"twoband\0song.wav",
        "user": b"twoband\0song.wav\0" + b"100\0" + b"9\0" + b"4",
        "prefixes": b"twoband\0x.wav\0" + b"12abc\0" + b" 2.5\0" + b"3.9",
        "bad": b"twoband\0x.wav\0" + b"nan\0" + b"8\0" + b"99999999999",
        "prompt": b"a abcd a.wav\n",
        "prompt_quoted": b"abcd\n  '/music/my song.wav'\r\n",
        "several": b"twoband\0f1.wav\0f2.wav\0f3.wav\0" + b"30\0" + b"4\0" + b"3",
        "dashes": b"twoband\0--\0--help\0" + b"20\0" + b"8\0" + b"2",
        "unicode": b"twoband\0Caf\xc3\xa9 \xf0\x9f\x8e\xb5.wav",
        "long": b"twoband\0" + b"n" * 300,
    }


def output_name_seeds():
    return {
        "plain": b"song.wav",
        "dir": b"dir\\song.wav",
        "mixed": b"a/b\\c.wav",
        "trailing": b"x/",
        "drive": b"C:song.wav",
        "longest": b"d/" + b"n" * 122,
    }


W64_RIFF = bytes.fromhex("726966662e91cf11a5d628db04c10000")
W64_TAIL = bytes.fromhex("f3acd3118cd100c04f8edb8a")


def wav_layout_seeds():
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 176400, 4, 16)
    tone = frames([(n * 100, -n * 100) for n in range(64)])
    return {
        "canonical": b"\x01" + tone,
        "list_first": b"RIFF\0\0\0\0WAVE" + fmt + b"LIST" + struct.pack("<I", 25) + b"x" * 26
        + b"data" + struct.pack("<I", len(tone)) + tone + b"id3 " + struct.pack("<I", 3) + b"tag\0",
        "streaming": b"RIFF\0\0\0\0WAVE" + fmt + b"data" + struct.pack("<I", 0xFFFFFFFF) + tone,
        "extensible": b"RIFF\0\0\0\0WAVEfmt " + struct.pack("<IHHIIHHHHI", 40, 0xFFFE, 2, 44100, 176400, 4, 16, 22, 16, 3)
        + bytes.fromhex("0100000000001000800000aa00389b71") + b"data" + struct.pack("<I", len(tone)) + tone,
        "rf64": b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVEds64" + struct.pack("<IQQQI", 28, 0, len(tone), 64, 0)
        + fmt + b"data" + struct.pack("<I", 0xFFFFFFFF) + tone,
        "bw64": b"BW64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVEds64" + struct.pack("<IQQQI", 28, 0, 1 << 40, 64, 0)
        + fmt + b"LIST" + struct.pack("<I", 3) + b"abc\0" + b"data" + struct.pack("<I", 0xFFFFFFFF) + tone,
        "wave64": W64_RIFF + struct.pack("<Q", 0) + b"wave" + W64_TAIL
        + b"fmt " + W64_TAIL + struct.pack("<Q", 40) + fmt[8:]
        + b"junk" + W64_TAIL + struct.pack("<Q", 27) + b"abc\0\0\0\0\0"
        + b"data" + W64_TAIL + struct.pack("<Q", 24 + len(tone)) + tone,
        "flac": b"fLaC" + tone,
        "mp3": b"\xff\xfb\x90\x00" + bytes(413) + b"\xff\xfb\x90\x00" + tone,
        "aiff": b"FORM\0\0\0\0AIFF" + tone,
        "avi": b"RIFF\0\0\0\0AVI " + tone,
    }


def formats_seeds():
    def wav(tag, bits, samples, channels=2):
        align = channels * bits // 8
        fmt = struct.pack("<HHIIHH", tag, channels, 44100, 44100 * align, align, bits)
        return (b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVEfmt " + struct.pack("<I", 16) + fmt
                + b"data" + struct.pack("<I", len(samples)) + samples)
    wave = [math.sin(n / 5.0) * 0.7 for n in range(240)]
    seeds = {
        "pcm8": wav(1, 8, bytes(int(128 + 100 * x) for x in wave)),
        "pcm24": wav(1, 24, b"".join(struct.pack("<i", int(x * 8000000))[:3] for x in wave)),
        "pcm32_mono": wav(1, 32, b"".join(struct.pack("<i", int(x * 2e9)) for x in wave), 1),
        "float32": wav(3, 32, b"".join(struct.pack("<f", x) for x in wave)),
        "float64_three": wav(3, 64, b"".join(struct.pack("<d", x) for x in wave[:237]), 3),
        "fact_and_list": wav(3, 32, b"".join(struct.pack("<f", x) for x in wave)).replace(
            b"data", b"fact" + struct.pack("<II", 4, 120) + b"LIST" + struct.pack("<I", 2) + b"ab" + b"data"),
    }
    # A FLAC file, where flac is installed, from the 24-bit seed.
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "in.wav")
        with open(source, "wb") as out:
            out.write(seeds["pcm24"])
        made = subprocess.run(["flac", "-s", "-f", "--seekpoint=1x", "-T", "TITLE=x", source],
                              capture_output=True, check=False) if shutil.which("flac") else None
        if made and made.returncode == 0:
            with open(os.path.join(folder, "in.flac"), "rb") as flac:
                seeds["flac"] = flac.read()
    return seeds


def library_seeds():
    def settings(max_gain, recover_speed, feedback_speed):
        return struct.pack("<ffi", max_gain, recover_speed, feedback_speed)
    tone = frames([(int(20000 * math.sin(n / 7.0)), int(-15000 * math.sin(n / 5.0))) for n in range(600)])
    plan = bytes([1, 0, 3, 64, 255, 17])
    form = lambda channels, floats: bytes([(channels - 1) | (0x80 if floats else 0)])
    change = struct.pack("<H", 200)
    return {
        "stereo": settings(20, 8, 2) + settings(4, 1, 1) + form(2, False) + change + bytes([len(plan)]) + plan + tone,
        "floats_six": settings(100, 9, 4) + settings(50, 0.5, 3) + form(6, True) + change + bytes([len(plan)]) + plan
                      + tone,
        "mono_bad_change": settings(4, 9, 1) + settings(float("nan"), 8, 2) + form(1, False) + change + b"\0" + tone,
        "bad_first": settings(3.99, 8, 2) + settings(20, 8, 2) + form(2, True) + change + b"\0" + tone,
    }


def main():
    root = sys.argv[1]
    for target, seeds in (("engine", engine_seeds()), ("fast_path", engine_seeds()),
                          ("command_line", command_line_seeds()),
                          ("output_name", output_name_seeds()), ("wav_layout", wav_layout_seeds()),
                          ("library", library_seeds()), ("formats", formats_seeds())):
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, "seed_" + name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
