#include "sample_file.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/fast_path.hpp"
#include "output_file.hpp"
#include "wav_layout.hpp"

namespace twoband {

namespace {

// One line on standard error: the file and the reason it was refused (or a warning).
void reportProblem(const Console& console, const char* name, const std::string& reason) {
    std::fprintf(console.errors, "twoband: %s: %s\n", name, reason.c_str());
}

// The output as the stream leaves it: the file being written, or why there is none.
struct PendingOutput {
    std::optional<OutputFile> file;
    std::error_code error;
    bool writeFailed = false;  // rather than never created
};

// A read that failed, or found the file shorter than measured.
void reportReadFailure(const Console& console, const char* name, const std::error_code& error) {
    std::fprintf(console.out, "Could not read %s !\n", name);
    reportProblem(console, name, error ? error.message() : "the file ended early");
}

// Where the samples of a file are, and how many channels share a frame.
struct SampleLayout {
    SampleRange samples;
    std::uint16_t channels;
};

// The channels the engine compresses a file's samples as: those its format declares,
// where its frames are laid out as they say; stereo pairs, with a warning, where they
// are not, and without a format.
std::uint16_t engineChannels(const WavLayout& layout, const char* name, const Console& console) {
    if (!layout.format) {
        return kStereoChannels;
    }
    const DeclaredFormat& format = *layout.format;
    if (format.channels != 0 && format.blockAlign == format.channels * kSampleBytes) {
        return format.channels;
    }
    reportProblem(console, name,
                  "warning: the file declares " + std::to_string(format.channels) +
                      (format.channels == 1 ? " channel" : " channels") + " in frames of " +
                      std::to_string(format.blockAlign) + " bytes; its samples are processed as stereo pairs");
    return kStereoChannels;
}

// Where the samples of `input` are. Nothing, and the messages, for a file that cannot
// be compressed.
std::optional<SampleLayout> findSamples(const InputFile& input, const char* name,
                                        const Console& console) {
    std::error_code error;
    const std::optional<WavLayout> layout =
        findWavLayout(input.length, [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            const std::optional<std::size_t> got = input.file.readAt(offset, into, error);
            return got && *got == into.size();
        });
    if (!layout) {
        reportReadFailure(console, name, error);
        return std::nullopt;
    }
    if (const std::optional<Refusal> refusal = refusalOf(input.length, *layout)) {
        std::fputs(refusal->message, console.out);
        reportProblem(console, name, refusal->reason);
        return std::nullopt;
    }
    return SampleLayout{layout->samples, engineChannels(*layout, name, console)};
}

// The buffer every block passes through, or nothing (and the message) without memory.
std::unique_ptr<std::uint8_t[]> allocateBlock(std::size_t blockBytes, const char* name,
                                              const Console& console) {
    std::unique_ptr<std::uint8_t[]> block{new (std::nothrow) std::uint8_t[blockBytes]};
    if (!block) {
        std::fputs("Not enough available memory !\n", console.out);
        reportProblem(console, name, std::make_error_code(std::errc::not_enough_memory).message());
    }
    return block;
}

// Reads the input block by block, runs each through the engine and writes it to the
// output while that works. Block boundaries fall at the start of the samples plus a
// multiple of the block size, so they never cut a frame. A failed write only ends
// the writing; a failed or short read ends the stream with its message.
bool streamBlocks(const InputFile& input, const char* name, SampleRange samples,
                  std::span<std::uint8_t> buffer, EnginePass& pass, PendingOutput& output,
                  const Console& console) {
    std::uint64_t offset = 0;
    std::uint64_t end = samples.begin % buffer.size();
    if (end == 0) end = buffer.size();
    for (; offset < input.length; offset = end, end += buffer.size()) {
        const std::span<std::uint8_t> block = buffer.first(std::min(end, input.length) - offset);
        std::error_code error;
        const std::optional<std::size_t> got = input.file.readAt(offset, block, error);
        if (!got || *got != block.size()) {
            pass.finish();
            reportReadFailure(console, name, error);
            return false;
        }
        pass.process(block, offset);
        if (output.file && !output.file->write(block, output.error)) {
            output.file.reset();  // removes the partial file
            output.writeFailed = true;
        }
    }
    pass.finish();
    return true;
}

// Puts the finished output in place under its name.
bool commitOutput(PendingOutput& output, const char* name, const Console& console) {
    if (output.file && !output.file->finish(output.error)) {
        output.writeFailed = true;
    } else if (output.file && output.file->replaceName(output.error)) {
        std::fputs("Done !\n", console.out);
        return true;
    }
    std::fprintf(console.out, output.writeFailed ? "Could not write %s !\n" : "Could not overwrite %s !\n",
                 name);
    reportProblem(console, name, output.error.message());
    return false;
}

}  // namespace

void deriveOutputName(PathBuffer& path) {
    const std::size_t length = std::strlen(path.data());
    std::size_t insertAt = 0;
    for (std::size_t i = length; i > 0; --i) {
        if (path[i - 1] == '/' || path[i - 1] == '\\') {
            insertAt = i;
            break;
        }
    }
    // Shift the file-name part and its NUL one place right; 125 characters and the NUL
    // still fit in the buffer.
    std::memmove(path.data() + insertAt + 1, path.data() + insertAt, length - insertAt + 1);
    path[insertAt] = 'C';
}

std::optional<Refusal> refusalOf(std::uint64_t length, const WavLayout& layout) {
    constexpr const char* kNotPcm16 = "This sample is not 16-bit PCM !\n";
    if (length < kMinSampleLength) {
        return Refusal{"This sample is too short for being compressed !\n",
                       std::to_string(length) + " bytes, at least " + std::to_string(kMinSampleLength) +
                           " are needed"};
    }
    if (length > kMaxSampleLength && !holdsAnySize(layout.container)) {
        return Refusal{"This sample is too long for being compressed !\n",
                       std::to_string(length) + " bytes; only RF64, BW64 and Wave64 files may be 4 GiB or longer"};
    }
    if (layout.container == Container::foreign) {
        return Refusal{kNotPcm16, layout.foreign + ", not a WAV file"};
    }
    if (layout.format && !layout.format->pcm16) {
        return Refusal{kNotPcm16, describeFormat(*layout.format) + ", only 16-bit PCM is compressed"};
    }
    return std::nullopt;
}

std::optional<InputFile> openInput(const char* name, const Console& console) {
    std::error_code error;
    SystemFile file = SystemFile::openForReading(name, error);
    const std::optional<SystemFile::Status> status =
        file ? file.status(error) : std::optional<SystemFile::Status>{};
    if (!status || !status->regular) {
        std::fprintf(console.out, "Could not open %s !\n\n", name);
        reportProblem(console, name,
                      !status             ? error.message()
                      : status->directory ? std::make_error_code(std::errc::is_a_directory).message()
                                          : "not a regular file");
        return std::nullopt;
    }
    return InputFile{std::move(file), status->size};
}

bool compressInput(const InputFile& input, const PathBuffer& path, const Settings& settings,
                   const Console& console, std::size_t blockBytes) {
    const std::optional<SampleLayout> samples = findSamples(input, path.data(), console);
    if (!samples) {
        return false;
    }
    // Blocks of whole frames of the file.
    const std::size_t frameBytes = samples->channels * kSampleBytes;
    blockBytes = std::max(frameBytes, blockBytes / frameBytes * frameBytes);
    const std::unique_ptr<std::uint8_t[]> buffer = allocateBlock(blockBytes, path.data(), console);
    if (!buffer) {
        return false;
    }

    // The output is prepared before the stream; its problems are told after it.
    PathBuffer outputName = path;
    deriveOutputName(outputName);
    std::error_code error;
    std::optional<OutputFile> created = OutputFile::create(outputName.data(), error);
    PendingOutput output{std::move(created), error};

    std::fputs("Processing...\n\n", console.out);
    std::fflush(console.out);
    EnginePass pass(settings, samples->samples, samples->channels, console.out, bestFrameKernel());
    if (!streamBlocks(input, path.data(), samples->samples, {buffer.get(), blockBytes}, pass, output,
                      console)) {
        return false;
    }
    std::fputs("Updating file...\n", console.out);
    return commitOutput(output, outputName.data(), console);
}

bool runSampleFile(const PathBuffer& path, const Settings& settings, const Console& console,
                   std::size_t blockBytes) {
    const std::optional<InputFile> input = openInput(path.data(), console);
    return input && compressInput(*input, path, settings, console, blockBytes);
}

}  // namespace twoband
