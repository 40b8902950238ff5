#pragma once

// The path of the bytes of one input: open it (a file, or standard input as a
// stream), find its samples, decide the output, stream the bytes through the engine
// block by block, commit the output. Every console message about files is printed
// here.
//
//   input ─► openInput ─► findSamples ─► prepareOutput ─► streamBlocks ─► commitOutput
//   (file or stream)      (layout,       (earlier output?  (engine,        (sync and
//                          refusals)      temporary file)   block by block)  rename)

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "console/command_line.hpp"
#include "console/console.hpp"
#include "engine/engine_pass.hpp"
#include "files/input.hpp"
#include "settings.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

// Shorter files are refused; so are longer ones, but in a container whose sizes are
// 64-bit (RF64, BW64, Wave64).
constexpr std::uint64_t kMinSampleLength = 20000;
constexpr std::uint64_t kMaxSampleLength = std::numeric_limits<std::uint32_t>::max();

// The file travels through the engine in blocks of this size: small enough for a
// constant few MiB of memory, large enough that each read and write is cheap.
constexpr std::size_t kBlockBytes = 256 * 1024;
static_assert(kBlockBytes % kFrameBytes == 0, "blocks hold whole frames");

// A stream's layout is looked for in its first bytes, from this many on, twice as
// many each time the chunks before the samples go on, up to the most it holds.
constexpr std::size_t kStreamProbeBytes = 64 * 1024;
constexpr std::size_t kMostStreamHeaderBytes = 64 * 1024 * 1024;
static_assert(kStreamProbeBytes >= kMinSampleLength, "a stream too short is known from its first bytes");

// Where a result goes: a file, which takes its name only once complete, or standard
// output, written as the blocks pass.
struct OutputPlace {
    std::string name;  // "standard output" for the stream
    bool standardOutput = false;
    bool makeFolders = false;  // the folders of the name are made where missing
};
inline const OutputPlace kStandardOutput{"standard output", true};

// The name messages give an input: "standard input" for the stream.
std::string displayName(const std::string& name);

// Compresses the file `name` into `output` (the name derived from it when empty).
// Every outcome, success or failure, is reported on the console's standard output,
// and one line on its standard error gives the reason of a failure. True when the
// output was written. The file travels in reads of `blockBytes`, rounded down to
// whole frames of the file.
bool runSampleFile(const std::string& name, const Settings& settings, const Options& options,
                   Console& console, std::size_t blockBytes = kBlockBytes,
                   const std::optional<OutputPlace>& output = std::nullopt);

// Opens the input `name` ("-" for standard input) and measures a file; refuses what
// is no regular file.
std::unique_ptr<Input> openInput(const std::string& name, Console& console);

// Why a file cannot be compressed: the message on standard output, and the reason on
// standard error.
struct Refusal {
    const char* message;
    std::string reason;
};

// Why the file `name` of `length` bytes laid out as `layout` cannot be compressed (too
// short, too long for its container, not a WAV file, not 16-bit PCM); nothing when it
// can. An audio file of another format is told how to convert it.
std::optional<Refusal> refusalOf(const std::string& name, std::uint64_t length, const WavLayout& layout);

// Everything after opening: the samples (or the refusal), the output, the stream, the
// commit.
bool compressInput(Input& input, const std::string& name, const OutputPlace& output, const Settings& settings,
                   const Options& options, Console& console, std::size_t blockBytes = kBlockBytes);

// Where the file-name part of a name starts: after its last '/' or '\', if it has one.
std::size_t fileNameStart(const std::string& name);

// The output name of an input name: a 'C' in front of the file-name part.
std::string deriveOutputName(const std::string& input);

}  // namespace twoband
