#include "files/sample_file.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "delivery/delivery_pass.hpp"
#include "engine/fast_path.hpp"
#include "files/output_file.hpp"
#include "files/output_mark.hpp"
#include "files/temporary_files.hpp"
#include "formats/flac_format.hpp"
#include "formats/wav_format.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

namespace {

// The output as the stream leaves it: the file or stream being written, or why there
// is none. A failed write only ends the writing (a reader of standard output that went
// away ends the run, silently); the commit reports it.
struct PendingOutput final : ByteSink {
    std::optional<OutputFile> file;
    std::optional<SystemFile> stream;  // standard output
    std::error_code error;
    std::string refusal;       // why the name is not replaced, where the system gave no error
    bool writeFailed = false;  // rather than never created
    DigestStream digest = {};  // of the file's bytes as written, for its mark
    bool rewritten = false;    // bytes were written again: the digest is taken anew

    bool writing() const { return file || stream; }
    // Ends the writing: the partial file is removed.
    void fail(std::error_code reason) {
        file.reset();
        stream.reset();
        error = reason;
        writeFailed = true;
    }
    void write(std::span<const std::uint8_t> bytes) override {
        if (!writing()) return;
        if (file) digest.add(bytes);
        if (stream ? stream->writeAll(bytes, error) : file->write(bytes, error)) return;
        if (stream && error == std::errc::broken_pipe) {
            stopRemovingTemporaries(EXIT_FAILURE);  // nobody reads the result any more
        }
        file.reset();  // removes the partial file
        stream.reset();
        writeFailed = true;
    }
    // The digest of the file's bytes as they now are, read back.
    std::optional<Digest> digestOfFile() {
        DigestStream taken;
        std::vector<std::uint8_t> block(kBlockBytes);
        for (std::uint64_t at = 0;; at += block.size()) {
            const std::optional<std::size_t> got = file->readAt(at, block, error);
            if (!got) return std::nullopt;
            taken.add(std::span(block).first(*got));
            if (*got < block.size()) return taken.digest();
        }
    }
    bool rewrite(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        if (!file) return false;
        rewritten = true;
        if (file->writeAt(offset, bytes, error)) return true;
        file.reset();
        writeFailed = true;
        return false;
    }
};

// A read that failed, or found the file shorter than measured.
void reportReadFailure(Console& console, const std::string& name, const std::error_code& error) {
    console.outf("Could not read %s !\n", name.c_str());
    console.problem(name, error ? error.message() : "the file ended early");
}

// The channels the engine compresses a file's samples as: those its format declares,
// where its frames are laid out as they say; stereo pairs, with a warning, where they
// are not, and without a format.
std::uint16_t engineChannels(const WavLayout& layout, const std::string& name, Console* console) {
    if (!layout.format) {
        return kStereoChannels;
    }
    const DeclaredFormat& format = *layout.format;
    if (format.channels != 0 && format.blockAlign == format.channels * kSampleBytes) {
        return format.channels;
    }
    if (console == nullptr) return kStereoChannels;
    console->problem(name, "warning: the file declares " + std::to_string(format.channels) +
                              (format.channels == 1 ? " channel" : " channels") + " in frames of " +
                              std::to_string(format.blockAlign) +
                              " bytes; its samples are processed as stereo pairs");
    return kStereoChannels;
}

// A file read header-blind: a plain 44-byte header and stereo frames to the end.
WavLayout rawLayout(std::uint64_t length) { return {Container::riff, canonicalSamples(length), std::nullopt, {}}; }

// The layout of the first `length` bytes of `input`; nothing when a read fails.
std::optional<WavLayout> layoutOf(Input& input, std::uint64_t length, std::error_code& error) {
    return findWavLayout(length, [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        const std::optional<std::size_t> got = input.readAt(offset, into, error);
        return got && *got == into.size();
    });
}

// The layout of a stream, found in its first bytes: held until they hold the samples'
// data chunk, or tell another format, or the stream ends. The samples of a data chunk
// whose size says more than the stream holds run to its end. Nothing when a read
// fails or the chunks before the samples go on past what a stream may hold.
std::optional<WavLayout> streamLayout(StreamInput& input, const Options& options, std::error_code& error,
                                      bool& tooLong) {
    for (std::size_t probe = kStreamProbeBytes;; probe *= 2) {
        if (!input.hold(options.raw ? kMinSampleLength : probe, error)) {
            return std::nullopt;
        }
        const std::uint64_t held = input.held().size();
        if (options.raw) {
            WavLayout layout = rawLayout(held);
            if (!input.ended()) layout.samples.end = kToTheEnd;
            return layout;
        }
        std::optional<WavLayout> layout = layoutOf(input, held, error);
        if (!layout) {
            return std::nullopt;
        }
        const bool wav = layout->container != Container::foreign && layout->container != Container::unknown;
        if (input.ended() || !wav) {
            return layout;
        }
        if (layout->declaredEnd) {
            layout->samples.end = *layout->declaredEnd;
            return layout;
        }
        if (probe >= kMostStreamHeaderBytes) {
            tooLong = true;
            return std::nullopt;
        }
    }
}

// The samples of `input`, read as 16-bit PCM WAV bytes. Nothing, and the messages, for
// an input that cannot be compressed.
std::unique_ptr<SampleReader> findSamples(Input& input, const std::string& name, const Options& options,
                                          Console& console) {
    std::error_code error;
    std::optional<WavLayout> layout;
    std::uint64_t length = 0;
    if (auto* stream = dynamic_cast<StreamInput*>(&input)) {
        bool tooLong = false;
        layout = streamLayout(*stream, options, error, tooLong);
        length = stream->held().size();
        if (tooLong) {
            console.out("Not enough available memory !\n");
            console.problem(name, "more than " + std::to_string(kMostStreamHeaderBytes >> 20) +
                                      " MiB before the samples of a stream; give it as a file");
            return nullptr;
        }
    } else {
        length = *input.length();
        layout = options.raw ? rawLayout(length) : layoutOf(input, length, error);
    }
    if (!layout) {
        reportReadFailure(console, name, error);
        return nullptr;
    }
    const Dither dither = options.dither == "none" ? Dither::none : Dither::triangular;
#ifdef TWOBAND_HAS_FLAC
    if (!options.raw && layout->container == Container::foreign && layout->foreign.what == kFlacFile) {
        std::string problem;
        std::unique_ptr<SampleReader> reader = flacReader(input, dither, problem);
        const SampleRange frames = reader ? reader->frames() : SampleRange{};
        if (!reader) {
            console.out("This sample is damaged !\n");
            console.problem(name, problem);
        } else if (frames.end < kMinSampleLength) {
            console.out("This sample is too short for being compressed !\n");
            console.problem(name, std::to_string(frames.end) + " bytes as 16-bit PCM WAV, at least " +
                                      std::to_string(kMinSampleLength) + " are needed");
            reader.reset();
        }
        return reader;
    }
#endif
    if (const std::optional<Refusal> refusal = refusalOf(name, length, *layout)) {
        console.out(refusal->message);
        console.problem(name, refusal->reason);
        return nullptr;
    }
    const DeclaredFormat* format = layout->format ? &*layout->format : nullptr;
    if (format && !format->pcm16 && !options.raw) {
        return convertingWavReader(input, *layout, dither);
    }
    AudioFacts facts{format && format->sampleRate != 0 ? format->sampleRate : kDefaultSampleRate, std::nullopt};
    if (layout->samples.end != kToTheEnd) {
        facts.frames = (layout->samples.end - layout->samples.begin) / (engineChannels(*layout, {}, nullptr) * kSampleBytes);
    }
    return wav16Reader(input, layout->samples, engineChannels(*layout, name, &console), facts,
                       std::move(layout->sizes));
}

// `name` as a shell takes it: in double quotes where it holds more than letters,
// digits and a few safe signs.
std::string quotedForShell(const std::string& name) {
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr("._-+/:,@%=", c) != nullptr;
    });
    if (plain) return name;
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// How to turn the audio file `name` into one this program compresses: with ffmpeg, into
// a file or through a pipe.
std::string conversionHint(const std::string& name) {
    if (name == displayName(kStandardStream)) {
        return "convert it first, in a pipe: ffmpeg -i - -f wav - | twoband -";
    }
    const std::size_t leaf = fileNameStart(name);
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot <= leaf ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos || dot <= leaf ? "" : name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string converted = stem + (extension == ".wav" ? "-16bit.wav" : ".wav");
    return "convert it first: ffmpeg -i " + quotedForShell(name) + " -c:a pcm_s16le " + quotedForShell(converted) +
           " (or in a pipe: ffmpeg -i " + quotedForShell(name) + " -f wav - | twoband - > " +
           quotedForShell(deriveOutputName(converted)) + ")";
}

// The buffer every block passes through, or nothing (and the message) without memory.
std::unique_ptr<std::uint8_t[]> allocateBlock(std::size_t blockBytes, const std::string& name,
                                              Console& console) {
    std::unique_ptr<std::uint8_t[]> block{new (std::nothrow) std::uint8_t[blockBytes]};
    if (!block) {
        console.out("Not enough available memory !\n");
        console.problem(name, std::make_error_code(std::errc::not_enough_memory).message());
    }
    return block;
}

// The compressor's result on its way to the delivery stage's second pass.
class SpoolWriter final : public SampleWriter {
public:
    explicit SpoolWriter(SpoolFile& spool) : spool_(spool) {}
    void write(std::span<std::uint8_t> bytes, std::uint64_t) override {
        if (!error) spool_.write(bytes, error);
    }
    bool finish(std::string&) override { return !error; }

    std::error_code error;

private:
    SpoolFile& spool_;
};

// Reads the input block by block, runs each through the engine, lets the loudness
// meter see it where one measures, and hands it to the writer. A failed read, or a
// file that comes up short, ends the stream with its message.
bool streamBlocks(SampleReader& reader, const std::string& name, std::span<std::uint8_t> buffer, EnginePass& pass,
                  SampleWriter& writer, Console& console, FrameTap* measured) {
    for (std::uint64_t offset = 0;;) {
        std::error_code error;
        const std::optional<std::size_t> got = reader.next(buffer, error);
        if (!got) {
            pass.finish();
            if (error || reader.problem().empty()) {
                reportReadFailure(console, name, error);
            } else {
                console.outf("Could not read %s !\n", name.c_str());
                console.problem(name, reader.problem());
            }
            return false;
        }
        if (*got == 0) break;
        const std::span<std::uint8_t> block = buffer.first(*got);
        pass.process(block, offset);
        if (measured) measured->take(block, offset);
        writer.write(block, offset);
        offset += *got;
    }
    pass.finish();
    return true;
}

// Whether `name` ends in ".flac", in any case.
bool namesFlac(const std::string& name) {
    constexpr std::string_view kExtension = ".flac";
    return name.size() >= kExtension.size() &&
           std::equal(kExtension.begin(), kExtension.end(), name.end() - static_cast<std::ptrdiff_t>(kExtension.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// The writer of the output at `place`: FLAC for a name that ends in .flac, and on
// standard output for a FLAC input; WAV otherwise.
std::unique_ptr<SampleWriter> makeWriter(const OutputPlace& place, const SampleReader& reader, PendingOutput& pending) {
#ifdef TWOBAND_HAS_FLAC
    const bool flac = place.standardOutput ? reader.flacMetadata() != nullptr : namesFlac(place.name);
    if (flac && pending.writing()) return flacWriter(pending, reader, pending.file.has_value());
#else
    (void)place;
#endif
    return wavWriter(pending, reader.sizes(), reader.length(), pending.file.has_value());
}

// Why the file standing at an output name is not replaced; empty when it may be: only
// a proven output of the input is.
std::string refusalToReplace(const std::string& output, Input& input, const std::string& name) {
    if (dynamic_cast<InputFile*>(&input) == nullptr) {
        return "exists; an output of " + displayName(name) + " replaces a file only with --force";
    }
    std::string reason;
    switch (proveOutput(output, name.substr(fileNameStart(name)), reason)) {
        case Proof::proven:
            return {};
        case Proof::unmarked:
            return "exists and is not an earlier output of " + name + "; not replaced (--force replaces it)";
        case Proof::changed:
            return "exists and has changed since it was written as the output of " + name +
                   "; not replaced (--force replaces it)";
        case Proof::noMarks:
            return "exists, and this file system keeps no marks to prove it an earlier output of " + name +
                   "; not replaced (--force replaces it)";
        case Proof::unreadable:
            break;
    }
    return "exists and cannot be read (" + reason + "); not replaced (--force replaces it)";
}

// The output at `place`, or why there is none: what stands at a name is replaced only
// when it is a proven earlier output of the input (or where the options force it).
void prepareOutput(PendingOutput& pending, const OutputPlace& place, Input& input, const std::string& name,
                   const Options& options) {
    std::error_code& error = pending.error;
    if (place.standardOutput) {
        SystemFile stream = SystemFile::standardOutput(error);
        if (stream) pending.stream = std::move(stream);
        return;
    }
    const std::optional<NameStatus> standing = statusOfName(place.name, error);
    if (standing && !options.force && standing->kind != NameStatus::Kind::missing &&
        standing->kind != NameStatus::Kind::directory) {
        if (std::string refusal = refusalToReplace(place.name, input, name); !refusal.empty()) {
            pending.error.clear();
            pending.refusal = std::move(refusal);
            return;
        }
    }
    error.clear();
    if (place.makeFolders && !makeFolders(place.name.substr(0, fileNameStart(place.name)), error)) {
        return;
    }
    // The output takes its input's permission bits (a stream's keeps what stands there).
    const auto* file = dynamic_cast<InputFile*>(&input);
    std::optional<OutputFile> created =
        OutputFile::create(place.name, file ? std::optional(file->mode()) : std::nullopt, error);
    if (created) pending.file.emplace(std::move(*created));
}

// Puts the finished output in place under its name.
bool commitOutput(PendingOutput& output, const std::string& name, const std::string& input, Console& console) {
    std::optional<Digest> digest = output.digest.digest();
    if (output.file && output.rewritten) digest = output.digestOfFile();
    const std::string mark =
        encodeMark({input == kStandardStream ? "" : input.substr(fileNameStart(input)), digest.value_or(Digest{})});
    if (output.file && (!digest || !output.file->finish(mark, output.error))) {
        output.writeFailed = true;
    } else if (output.stream || (output.file && output.file->replaceName(output.error))) {
        console.out("Done !\n");
        return true;
    }
    console.outf(output.writeFailed ? "Could not write %s !\n" : "Could not overwrite %s !\n", name.c_str());
    console.problem(name, output.refusal.empty() ? output.error.message() : output.refusal);
    return false;
}

}  // namespace

std::string displayName(const std::string& name) { return name == kStandardStream ? "standard input" : name; }

std::size_t fileNameStart(const std::string& name) {
    const std::size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? 0 : separator + 1;
}

std::string deriveOutputName(const std::string& input) { return std::string(input).insert(fileNameStart(input), 1, 'C'); }

std::optional<Refusal> refusalOf(const std::string& name, std::uint64_t length, const WavLayout& layout) {
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
    if (layout.container == Container::unknown) {
        return Refusal{kNotPcm16, "not a WAV file"};
    }
    if (layout.container == Container::foreign) {
        const ForeignFormat& foreign = layout.foreign;
        return Refusal{kNotPcm16, foreign.what + ", not a WAV file" + (foreign.audio ? "; " + conversionHint(name) : "")};
    }
    if (!layout.damage.empty()) {
        return Refusal{"This sample is damaged !\n", layout.damage + "; --raw reads it header-blind"};
    }
    if (layout.format && !layout.format->pcm16 && !convertibleFormat(*layout.format)) {
        return Refusal{kNotPcm16, describeFormat(*layout.format) +
                                      ", not compressed (only 8-, 16-, 24- and 32-bit PCM and 32- and 64-bit float are); " +
                                      conversionHint(name)};
    }
    return std::nullopt;
}

std::unique_ptr<Input> openInput(const std::string& name, Console& console) {
    std::error_code error;
    if (name == kStandardStream) {
        SystemFile stream = SystemFile::standardInput(error);
        if (stream) return std::make_unique<StreamInput>(std::move(stream));
        console.outf("Could not open %s !\n\n", displayName(name).c_str());
        console.problem(displayName(name), error.message());
        return nullptr;
    }
    std::string reason;
    std::optional<InputFile> file = InputFile::open(name, reason);
    if (!file) {
        console.outf("Could not open %s !\n\n", name.c_str());
        console.problem(name, reason);
        return nullptr;
    }
    return std::make_unique<InputFile>(std::move(*file));
}

bool compressInput(Input& input, const std::string& name, const OutputPlace& output, const Settings& settings,
                   const Options& options, Console& console, std::size_t blockBytes) {
    const std::string shown = displayName(name);
    const std::unique_ptr<SampleReader> reader = findSamples(input, shown, options, console);
    if (!reader) {
        return false;
    }
    // Blocks of whole frames of the file.
    const std::size_t frameBytes = reader->channels() * kSampleBytes;
    blockBytes = std::max(frameBytes, blockBytes / frameBytes * frameBytes);
    std::unique_ptr<std::uint8_t[]> buffer = allocateBlock(blockBytes, shown, console);
    if (!buffer) {
        return false;
    }

    const DeliverySettings& delivery = options.delivery;
    const std::uint32_t rate = reader->facts().sampleRate;
    std::optional<FrameTap> measured;
    if (delivery.measuring()) {
        std::string reason;
        std::unique_ptr<LoudnessMeter> meter = LoudnessMeter::create(reader->channels(), rate, reason);
        if (!meter) {
            console.outf("Could not measure %s !\n", shown.c_str());
            console.problem(shown, reason);
            return false;
        }
        measured.emplace(std::move(meter), reader->frames(), reader->channels());
    }

    // The output is prepared before the stream; its problems are told after it.
    PendingOutput pending;
    prepareOutput(pending, output, input, name, options);
    const std::unique_ptr<SampleWriter> writer = makeWriter(output, *reader, pending);
    // With the delivery stage, the compressor's result goes to a scratch file first, and
    // the second pass writes the output.
    std::optional<SpoolFile> spool;
    if (delivery.stage() && pending.writing()) {
        std::error_code error;
        if (std::optional<SpoolFile> made = SpoolFile::create(output.name, output.standardOutput, error)) {
            spool.emplace(std::move(*made));
        } else {
            pending.fail(error);
        }
    }
    std::optional<SpoolWriter> spooled;
    if (spool) spooled.emplace(*spool);

    if (const std::string conversion = reader->conversion(); !conversion.empty()) {
        console.out(conversion + "\n");
    }
    console.out("Processing...\n\n");
    EnginePass pass(settings, reader->frames(), reader->channels(), console, bestFrameKernel());
    if (!streamBlocks(*reader, shown, {buffer.get(), blockBytes}, pass, spooled ? *spooled : *writer, console,
                      measured ? &*measured : nullptr)) {
        return false;
    }
    if (measured) {
        const Loudness before = measured->result();
        measured.reset();  // one meter at a time: each holds seconds of samples
        if (!delivery.stage()) {
            console.out(loudnessLine(before));
            noteInReport(delivery, shown, output.name, before, nullptr);
        } else if (spooled && spooled->error) {
            pending.fail(spooled->error);
        } else if (spooled && pending.writing()) {
            buffer.reset();  // the second pass reads in smaller blocks of its own
            std::uint64_t at = 0;
            const DeliveryOutcome outcome =
                deliver(*spool, reader->frames(), reader->channels(), rate, delivery, before,
                        [&](std::span<std::uint8_t> bytes) {
                            writer->write(bytes, at);
                            at += bytes.size();
                        });
            if (outcome.readError) {
                pending.fail(*outcome.readError);
            } else if (pending.writing()) {
                console.out(deliveryLine(delivery, before, outcome));
                noteInReport(delivery, shown, output.name, before, &outcome);
            }
        }
    }
    console.out("Updating file...\n");
    std::string problem;
    if (pending.writing() && !writer->finish(problem)) {
        pending.file.reset();
        pending.stream.reset();
        pending.writeFailed = true;
        pending.refusal = problem;
    }
    return commitOutput(pending, output.name, name, console);
}

bool runSampleFile(const std::string& name, const Settings& settings, const Options& options, Console& console,
                   std::size_t blockBytes, const std::optional<OutputPlace>& output) {
    const std::unique_ptr<Input> input = openInput(name, console);
    return input && compressInput(*input, name, output.value_or(OutputPlace{deriveOutputName(name)}), settings,
                                  options, console, blockBytes);
}

}  // namespace twoband
