#pragma once

// The sample file on disk: open and measure the input, find its samples, decide the
// output, stream the file through the engine block by block, commit the output.
// Every console message about files is printed here.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "command_line.hpp"
#include "console.hpp"
#include "engine/engine_pass.hpp"
#include "settings.hpp"
#include "system_file.hpp"
#include "wav_layout.hpp"

namespace twoband {

// Shorter files are refused; so are longer ones, but in a container whose sizes are
// 64-bit (RF64, BW64, Wave64).
constexpr std::uint64_t kMinSampleLength = 20000;
constexpr std::uint64_t kMaxSampleLength = std::numeric_limits<std::uint32_t>::max();

// The file travels through the engine in blocks of this size: small enough for a
// constant few MiB of memory, large enough that each read and write is cheap.
constexpr std::size_t kBlockBytes = 256 * 1024;
static_assert(kBlockBytes % kFrameBytes == 0, "blocks hold whole frames");

// An open input and its length, measured on the open file.
struct InputFile {
    SystemFile file;
    std::uint64_t length;
};

// Compresses the file `name` into the output name derived from it. Every outcome,
// success or failure, is reported on the console's standard output, and one line on
// its standard error gives the reason of a failure. True when the output was
// written. The file travels in reads of `blockBytes`, rounded down to whole frames of
// the file.
bool runSampleFile(const std::string& name, const Settings& settings, const FileOptions& options,
                   Console& console, std::size_t blockBytes = kBlockBytes);

// Opens and measures the input; refuses what is no regular file.
std::optional<InputFile> openInput(const std::string& name, Console& console);

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
bool compressInput(const InputFile& input, const std::string& name, const Settings& settings,
                   const FileOptions& options, Console& console, std::size_t blockBytes = kBlockBytes);

// Where the samples of `input` are, as a run with `options` compresses them; nothing
// where it would refuse the file or a read fails. Says nothing.
std::optional<SampleRange> samplesOf(const InputFile& input, const FileOptions& options);

// An output holds its input's length and, outside the samples, the input's own bytes.
// True when the file at `name` (through a link) is such an earlier output of `input`,
// whose samples are `samples`.
bool isEarlierOutput(const std::string& name, const InputFile& input, SampleRange samples);

// The output name of an input name: a 'C' in front of the file-name part, after the
// last '/' or '\' if there is one.
std::string deriveOutputName(const std::string& input);

}  // namespace twoband
