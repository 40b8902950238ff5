#pragma once

// WAV inputs, read as 16-bit PCM WAV bytes (sample_format.hpp).
// - 16-bit PCM: the file's bytes as they are, block by block.
// - 8-bit unsigned PCM (exactly: (u − 128) × 256), 24- and 32-bit PCM, 32- and 64-bit
//   float, plain or extensible, any channel count: the same file with 16-bit samples.
//   The fmt chunk (and its extension) says 16-bit PCM, the data chunk, the RIFF or
//   ds64 sizes and a fact chunk's count say the new size (where the input says one),
//   and every other chunk stays in its place. The samples pass the one rule of
//   quantiser.hpp, one generator from its seed per file, in file order.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/quantiser.hpp"
#include "files/input.hpp"
#include "formats/sample_format.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

// Whether the samples of `format` can be brought to 16 bits: 8-, 16-, 24- or 32-bit
// PCM, 32- or 64-bit float, in frames of the declared channels.
bool convertibleFormat(const DeclaredFormat& format);

// The 16-bit frames of a 16-bit WAV input (or one read header-blind), as they are.
std::unique_ptr<SampleReader> wav16Reader(Input& input, SampleRange samples, std::uint16_t channels,
                                          AudioFacts facts, std::vector<SizeField> sizes);

// A WAV output: the bytes as they come. On a file, size fields that are placeholders
// (`sizes`) get their true values: put into the blocks as they pass where the length
// is known from the start (`length`), written over the finished file where not. On
// standard output they stay.
std::unique_ptr<SampleWriter> wavWriter(ByteSink& sink, std::vector<SizeField> sizes,
                                        std::optional<std::uint64_t> length, bool file);

// A WAV input of another convertible format, converted.
std::unique_ptr<SampleReader> convertingWavReader(Input& input, const WavLayout& layout, Dither dither);

}  // namespace twoband
