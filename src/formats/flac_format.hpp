#pragma once

// FLAC in and out, through libFLAC.
// - In: the stream is decoded frame by frame and read as a canonical 16-bit PCM WAV
//   file (a 44-byte header whose sizes follow STREAMINFO's total, 0xFFFFFFFF where it
//   gives none): 16-bit FLAC exactly, 8-bit widened exactly, other depths by the one
//   rule of quantiser.hpp. Every metadata block but STREAMINFO is kept, in order.
// - Out: 16-bit FLAC at compression level 5 with fixed predictors only (as
//   `flac -5 -l 0`, the same bytes on every machine), the input's metadata
//   blocks in their order, STREAMINFO (with its MD5) made anew, a seek table rebuilt
//   where the input had one. On a file, STREAMINFO and the seek table are written again
//   once the audio is complete; on a stream they stay as they were first written
//   (no totals, no MD5, the seek table's points placeholders).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/quantiser.hpp"
#include "files/input.hpp"
#include "formats/sample_format.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

// Whether this build reads and writes FLAC.
#ifdef TWOBAND_HAS_FLAC
inline constexpr bool kFlacBuilt = true;
#else
inline constexpr bool kFlacBuilt = false;
#endif

// A FLAC input's metadata blocks but STREAMINFO, in order.
class FlacMetadata {
public:
    FlacMetadata() = default;
    FlacMetadata(const FlacMetadata&) = delete;
    FlacMetadata& operator=(const FlacMetadata&) = delete;
    ~FlacMetadata();
    std::vector<void*> blocks;  // FLAC__StreamMetadata*, owned
};

// The FLAC stream of `input`, decoded; nothing, with why in `problem`, where its
// metadata cannot be read.
std::unique_ptr<SampleReader> flacReader(Input& input, Dither dither, std::string& problem);

// A FLAC output to `sink` of the frames at `frames` of the bytes it is given, keeping
// `metadata` (none for a WAV input). `seekable`: the sink can take bytes again.
std::unique_ptr<SampleWriter> flacWriter(ByteSink& sink, const SampleReader& reader, bool seekable);

}  // namespace twoband
