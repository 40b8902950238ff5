#pragma once

// Where a file's samples are, and what its header declares.
//
// A RIFF/WAVE file is a 12-byte header ("RIFF", a size, "WAVE") and then chunks: a
// 4-byte id, a 4-byte little-endian size, the payload, and a pad byte after an odd
// size. The walk from byte 12 stops at the first "data" chunk, or where the next
// 8-byte chunk header no longer fits in the file.
// - With a "data" chunk whose payload starts at D, the samples are the bytes from
//   max(D, 44) to D + size; to the end of the file instead when the size is 0 or runs
//   past the end (streaming writers leave 0 or 0xFFFFFFFF; a cut download promises
//   more than it holds).
// - Without one, or in a file that is not RIFF/WAVE, the samples are byte 44 to the
//   end, as in a plain 44-byte-header file.
// Every other byte (header, other chunks, tags after the samples) is kept as it is.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "engine/engine_state.hpp"

namespace twoband {

// What the first "fmt " chunk before the samples declares.
struct DeclaredFormat {
    std::uint16_t formatTag;
    std::uint16_t channels;
    std::uint16_t bitsPerSample;
    // 16-bit integer PCM: format tag 1, or WAVE_FORMAT_EXTENSIBLE (0xFFFE) with the
    // PCM sub-format, at 16 bits per sample. False too for a chunk too short to say.
    bool pcm16;
};

struct WavLayout {
    SampleRange samples;
    std::optional<DeclaredFormat> format;  // when the walk met a "fmt " chunk
};

// Reads exactly `into.size()` bytes at `offset`; false when that fails. The walk
// asks only for bytes inside the file's length.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

// The layout of a file of `length` bytes; nothing when a read fails.
std::optional<WavLayout> findWavLayout(std::uint64_t length, const ReadAt& read);

}  // namespace twoband
