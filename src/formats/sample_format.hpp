#pragma once

// The file formats, as the path of the bytes meets them. Every format reads into, and
// writes from, one form: the bytes of a 16-bit PCM WAV file, whose frames the engine
// compresses in place.
//
//   input ─► SampleReader ─► 16-bit WAV bytes ─► engine ─► SampleWriter ─► output
//            (16-bit WAV as it is; other          (frames     (WAV as it comes;
//             WAV formats converted; FLAC          in place)   FLAC encoded)
//             decoded)
//
// A 16-bit WAV file is its own form: its bytes pass untouched but for the frames.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "engine/engine_pass.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

// Where an output's bytes go: a file (which can take bytes already written again) or a
// stream. A sink whose write failed takes no more, without a word; the commit says so.
class ByteSink {
public:
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
    // Writes `bytes` again at `offset`, over bytes already written; false on a stream.
    virtual bool rewrite(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;

protected:
    ~ByteSink() = default;
};

// The sample rate of a file read without a format chunk.
constexpr std::uint32_t kDefaultSampleRate = 44100;

// What a reader knows of the audio beyond its frames, for a writer of another format.
struct AudioFacts {
    std::uint32_t sampleRate = 0;
    std::optional<std::uint64_t> frames;  // nothing where a stream has not said
};

class FlacMetadata;  // a FLAC input's metadata blocks (flac_format.hpp)

// An input read as 16-bit PCM WAV bytes.
class SampleReader {
public:
    virtual ~SampleReader() = default;

    // What was done to the samples, for the transcript ("24-bit PCM, dithered to 16
    // bits"); empty when nothing was.
    virtual std::string conversion() const { return {}; }
    virtual std::uint16_t channels() const = 0;
    // Where the frames lie among the bytes `next` gives.
    virtual SampleRange frames() const = 0;
    virtual AudioFacts facts() const = 0;
    // A FLAC input's metadata, which a FLAC output keeps; nothing for others.
    virtual const FlacMetadata* flacMetadata() const { return nullptr; }

    // The next bytes, from where the last call ended, into the start of `buffer`: the
    // number given, 0 at the end, nothing when a read fails (why in `error`, or none
    // for an input that ended early). A block boundary inside the frames falls
    // between two frames.
    virtual std::optional<std::size_t> next(std::span<std::uint8_t> buffer, std::error_code& error) = 0;
    // Why the last `next` failed where no system call did ("damaged FLAC data ...").
    virtual std::string problem() const { return {}; }

    // The size fields of its WAV bytes that may be placeholders, for a WAV output file
    // to get their true values; and the length of those bytes where it is known before
    // they are read (a 16-bit file's).
    virtual std::vector<SizeField> sizes() const { return {}; }
    virtual std::optional<std::uint64_t> length() const { return std::nullopt; }
};

// An output written from 16-bit PCM WAV bytes.
class SampleWriter {
public:
    virtual ~SampleWriter() = default;
    // The next compressed bytes, from `offset` on, in the order `next` gave them (the
    // writer may change them).
    virtual void write(std::span<std::uint8_t> bytes, std::uint64_t offset) = 0;
    // Completes the output after the last bytes; false, with why, where that fails.
    virtual bool finish(std::string& problem) = 0;
};

}  // namespace twoband
