// Runs the real twoband binary on real files in a temporary folder.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#ifdef TWOBAND_HAVE_EBUR128
#include <ebur128.h>
#endif

#include "console/command_line.hpp"
#include "files/sample_file.hpp"
#include "engine/engine_state.hpp"
#include "engine/quantiser.hpp"
#include "signals.hpp"
#include "files/temporary_files.hpp"
#include "test_support.hpp"
#include "version.hpp"

namespace twoband {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string kVersionLine = std::string("twoband ") + kVersion + "\n";
const std::string kBanner = std::string("twoband ") + kVersion +
                            " - two-band dynamic range compressor for 16-bit WAV files\n";
const std::string kDefaults =
    "Using default settings:\nMax Gain (4-100) = 20.000000\n"
    "Recover Speed (1-9) = 8.000000\nFeedback Speed (1-4) = 2\n\n\n";
const std::string kPrompt = "\nWAV File to be processed : ";

// What a successful run prints after the settings, for a file of 2 seconds (two dots).
const std::string kProcessedTwoSeconds =
    "Processing...\n\n..\nUpdating file...\nDone !\n";

Bytes twoSecondsOfMusic() { return signals::wavFile(signals::musicLike(2 * signals::kSampleRate)); }

std::string asInput(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

Bytes compressed(Bytes bytes, const Settings& settings = {}) {
    compressInMemory(bytes, settings);
    return bytes;
}

// Whether the file system of the runs keeps marks: Wine's emulation of Windows keeps
// none, so there an earlier output is never proven and only --force replaces it.
bool marksKept() { return !testingWindowsBuild(); }

// Makes `output` in `folder` a proven earlier output of the input `input` there: the
// program's own output of it with other settings (30 4 3), as compressed(input,
// {30.0f, 4.0f, 3}) gives it.
void writeEarlierOutput(const fs::path& folder, const std::string& input, const std::string& output) {
    ASSERT_EQ(runTwoband(folder, {"-f", "-q", input, "-o", output, "30", "4", "3"}).status, 0) << output;
}

// Standard error holds exactly "twoband: FILE: REASON" (or nothing when `expected` is
// empty). The Windows C library words the reason its own way; the file must still
// come first.
void expectDiagnostic(const std::string& errors, const std::string& expected) {
    if (expected.empty() || !testingWindowsBuild()) {
        EXPECT_EQ(errors, expected.empty() ? "" : "twoband: " + expected + "\n");
        return;
    }
    const std::string file = expected.substr(0, expected.rfind(": ") + 2);
    EXPECT_EQ(errors.rfind("twoband: " + file, 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

class EndToEnd : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(EndToEnd, DefaultRunWritesTheCompressedFileBesideTheInput) {
    const Bytes input = twoSecondsOfMusic();
    writeFile(dir / "song.wav", input);

    const RunResult run = runTwoband(dir.path(), {"song.wav"});

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds);
    const Bytes output = readFile(dir / "Csong.wav");
    ASSERT_EQ(output.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + 44, output.begin()));
    EXPECT_NE(output, input);
    EXPECT_EQ(output, compressed(input));
    EXPECT_EQ(readFile(dir / "song.wav"), input);
}

TEST_F(EndToEnd, UserDefinedRunEchoesAndUsesTheSettings) {
    const Bytes input = twoSecondsOfMusic();
    writeFile(dir / "song.wav", input);

    const RunResult run = runTwoband(dir.path(), {"song.wav", "4", "1", "1"});

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kBanner +
                              "User defined settings:\nMax Gain (4-100) = 4.000000\n"
                              "Recover Speed (1-9) = 1.000000\nFeedback Speed (1-4) = 1\n\n\n" +
                              kProcessedTwoSeconds);
    EXPECT_EQ(readFile(dir / "Csong.wav"), compressed(input, {4.0f, 1.0f, 1}));
}

TEST_F(EndToEnd, InvalidSettingsFallBackToTheDefaults) {
    writeFile(dir / "song.wav", twoSecondsOfMusic());
    const RunResult run = runTwoband(dir.path(), {"song.wav", "3.99", "5", "2"});
    EXPECT_EQ(run.status, 0);  // not a failure: the heading shows the fallback, standard error why
    EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds);
    EXPECT_EQ(run.errors, "twoband: max gain 3.99 is outside 4 to 100; the default settings are used\n");
}

TEST_F(EndToEnd, OutputGoesIntoTheInputsFolder) {
    fs::create_directory(dir / "sub");
    const Bytes input = twoSecondsOfMusic();
    writeFile(dir / "sub" / "song.wav", input);

    const RunResult run = runTwoband(dir.path(), {"sub/song.wav"});

    EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds);
    EXPECT_EQ(readFile(dir / "sub" / "Csong.wav"), compressed(input));

    // Its temporary file too: the working folder need not be writable.
    if (testingOtherBuild()) return;  // runs the binary as another user
    fs::remove(dir / "sub" / "Csong.wav");
    fs::permissions(dir / "sub", fs::perms::all);
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const RunResult elsewhere = runTwoband(dir.path(), {"sub/song.wav"}, {"", /*unprivileged=*/true, 0});
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.errors;
    EXPECT_EQ(readFile(dir / "sub" / "Csong.wav"), compressed(input));
}

TEST_F(EndToEnd, BackslashSeparatesFoldersOnWindows) {
    const Bytes input = twoSecondsOfMusic();
    // Windows reads dir\song.wav as a file in dir; elsewhere it is one file name.
    const bool windows = testingWindowsBuild();
    const fs::path in = windows ? dir / "dir" / "song.wav" : dir / "dir\\song.wav";
    const fs::path out = windows ? dir / "dir" / "Csong.wav" : dir / "dir\\Csong.wav";
    fs::create_directory(dir / "dir");
    writeFile(in, input);

    const RunResult run = runTwoband(dir.path(), {"dir\\song.wav"});

    EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds);
    EXPECT_EQ(readFile(out), compressed(input));
}

TEST_F(EndToEnd, OnlyTheSamplesOfTheDataChunkAreProcessed) {
    // As ffmpeg writes it: a LIST chunk before the samples (an odd one here, so the
    // samples of a RIFF file start at 78, mid-frame of a plain file), and tags after
    // them; the same in the other WAV containers.
    const Bytes canonical = twoSecondsOfMusic();
    const std::span<const std::uint8_t> samples(canonical.begin() + 44, canonical.end());
    const Bytes plain = compressed(canonical);
    for (const WavForm form : {WavForm::riff, WavForm::rf64, WavForm::bw64, WavForm::wave64}) {
        WavBuilder builder(form);
        builder.format(1, 2, 16).chunk("LIST", Bytes(25, 'x'));
        const std::size_t begin = builder.nextPayload();
        const Bytes input = builder.chunk("data", samples).chunk("id3 ", Bytes(301, 0x5A)).bytes();
        const std::size_t end = begin + samples.size();
        writeFile(dir / "song.wav", input);
        fs::remove(dir / "Csong.wav");  // the last row's output is no earlier output of this input

        const RunResult run = runTwoband(dir.path(), {"song.wav"});

        const int row = static_cast<int>(form);
        EXPECT_EQ(run.status, 0) << row;
        EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds) << row;
        EXPECT_EQ(run.errors, "") << row;
        const Bytes output = readFile(dir / "Csong.wav");
        ASSERT_EQ(output.size(), input.size()) << row;
        EXPECT_TRUE(std::equal(input.begin(), input.begin() + begin, output.begin())) << "header " << row;
        EXPECT_TRUE(std::equal(input.begin() + end, input.end(), output.begin() + end)) << "tags " << row;
        EXPECT_TRUE(std::equal(plain.begin() + 44, plain.end(), output.begin() + begin)) << "frames " << row;
    }
}

TEST_F(EndToEnd, OnlyWavFilesOf16BitPcmAreCompressed) {
    // Each refused file leaves nothing written, and standard error says what it is (the
    // layout tests cover every signature); audio of another format, how to convert it.
    const Bytes music = twoSecondsOfMusic();
    const std::span<const std::uint8_t> samples(music.begin() + 44, music.end());
    const auto withHead = [&](std::initializer_list<std::uint8_t> head) {
        Bytes file = music;
        std::copy(head.begin(), head.end(), file.begin());
        return file;
    };
    Bytes random(30000);
    std::uint32_t seed = 12345;
    for (std::uint8_t& byte : random) byte = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
    Bytes text;
    while (text.size() < 25000) text.insert(text.end(), {'l', 'o', 'r', 'e', 'm', ' ', 'i', 'p', 's', 'u', 'm', '\n'});
    const auto convert = [](const std::string& from, const std::string& to) {
        const std::string output = to.front() == '"' ? "\"C" + to.substr(1) : "C" + to;
        return "; convert it first: ffmpeg -i " + from + " -c:a pcm_s16le " + to + " (or in a pipe: ffmpeg -i " + from +
               " -f wav - | twoband - > " + output + ")";
    };
    struct Case {
        std::string name;
        Bytes file;
        std::string reason;
    };
    const std::string kNotCompressed =
        ", not compressed (only 8-, 16-, 24- and 32-bit PCM and 32- and 64-bit float are)";
    const Case cases[] = {
        {"adpcm.wav", WavBuilder{}.format(2, 2, 4).chunk("data", samples).bytes(),
         "format tag 0x0002" + kNotCompressed + convert("adpcm.wav", "adpcm-16bit.wav")},
        {"half.w64", WavBuilder{WavForm::wave64}.format(3, 2, 16).chunk("data", samples).bytes(),
         "16-bit float" + kNotCompressed + convert("half.w64", "half.wav")},
        {"episode.m4a", withHead({0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' '}),
         "an MPEG-4 audio (M4A) file, not a WAV file" + convert("episode.m4a", "episode.wav")},
        {"old news.au", withHead({'.', 's', 'n', 'd'}),
         "a Sun AU file, not a WAV file" + convert("\"old news.au\"", "\"old news.wav\"")},
        {"talk.wma", withHead({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}),
         "an ASF (WMA) file, not a WAV file" + convert("talk.wma", "talk.wav")},
        {"live.mkv", withHead({0x1A, 0x45, 0xDF, 0xA3}), "a Matroska or WebM file, not a WAV file" + convert("live.mkv", "live.wav")},
        {"song.wav.gz", withHead({0x1F, 0x8B, 0x08}), "a gzip file, not a WAV file"},
        {"cover.wav", withHead({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}), "a PNG file, not a WAV file"},
        {"notes.wav", text, "a text file, not a WAV file"},
        {"noise.wav", random, "not a WAV file"},
    };
    for (const Case& c : cases) {
        writeFile(dir / c.name, c.file);
        const RunResult refused = runTwoband(dir.path(), {c.name});
        EXPECT_EQ(refused.status, 1) << c.name;
        EXPECT_EQ(refused.output, kBanner + kDefaults + "This sample is not 16-bit PCM !\n") << c.name;
        EXPECT_EQ(refused.errors, "twoband: " + c.name + ": " + c.reason + "\n");
        EXPECT_FALSE(fs::exists(dir / ("C" + c.name))) << c.name;
    }
    // Header-blind, as asked: stereo frames from byte 44 on.
    const RunResult raw = runTwoband(dir.path(), {"--raw", "noise.wav"});
    EXPECT_EQ(raw.status, 0);
    EXPECT_EQ(readFile(dir / "Cnoise.wav"), compressed(random));
}

// The 16-bit samples of `file` from `at` on, `channels` to a frame: channel `channel`
// of `frames` frames.
std::vector<std::int16_t> channelOf(const Bytes& file, std::size_t at, int channels, int channel,
                                    std::size_t frames) {
    std::vector<std::int16_t> samples(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        const std::size_t byte = at + 2 * (f * channels + channel);
        samples[f] = static_cast<std::int16_t>(file[byte] | file[byte + 1] << 8);
    }
    return samples;
}

TEST_F(EndToEnd, EachPairOfChannelsIsCompressedAsAStereoFile) {
    // Files of 1, 3 and 6 channels of different material, with a LIST chunk and an odd
    // trailing byte; each pair of channels (and a mono last one, doubled) must come
    // out as the same binary compresses it in a stereo file.
    constexpr std::size_t kFrames = 2 * signals::kSampleRate;
    const signals::Samples sources[] = {signals::musicLike(kFrames), signals::loudBursts(kFrames),
                                        signals::mixed(kFrames)};
    const auto source = [&](int channel, std::size_t frame) { return sources[channel / 2][2 * frame + channel % 2]; };
    for (const int channels : {1, 3, 6}) {
        Bytes data;
        for (std::size_t f = 0; f < kFrames; ++f) {
            for (int c = 0; c < channels; ++c) {
                const auto bits = static_cast<std::uint16_t>(source(c, f));
                data.insert(data.end(), {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)});
            }
        }
        data.push_back(0x5A);
        WavBuilder builder;
        builder.format(1, static_cast<std::uint16_t>(channels), 16).chunk("LIST", Bytes(25, 'x'));
        const std::size_t begin = builder.nextPayload();
        const Bytes input = builder.chunk("data", data).bytes();
        const std::string name = std::to_string(channels) + "ch.wav";
        writeFile(dir / name, input);
        const RunResult run = runTwoband(dir.path(), {name});
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(run.errors, "") << name;
        const Bytes output = readFile(dir / ("C" + name));
        ASSERT_EQ(output.size(), input.size()) << name;
        EXPECT_TRUE(std::equal(input.begin(), input.begin() + begin, output.begin())) << name;
        EXPECT_TRUE(std::equal(input.end() - 2, input.end(), output.end() - 2)) << "trailing byte, pad " << name;

        for (int pair = 0; 2 * pair < channels; ++pair) {
            const int right = std::min(2 * pair + 1, channels - 1);
            signals::Samples stereo;
            for (std::size_t f = 0; f < kFrames; ++f) {
                stereo.insert(stereo.end(), {source(2 * pair, f), source(right, f)});
            }
            const std::string pairName = name + "." + std::to_string(pair) + ".wav";
            writeFile(dir / pairName, signals::wavFile(stereo));
            ASSERT_EQ(runTwoband(dir.path(), {pairName}).status, 0);
            const Bytes reference = readFile(dir / ("C" + pairName));
            for (const int side : {0, 1}) {
                if (side == 1 && right == 2 * pair) continue;  // mono: its left output
                EXPECT_TRUE(channelOf(output, begin, channels, 2 * pair + side, kFrames) ==
                            channelOf(reference, 44, 2, side, kFrames))
                    << name << " channel " << 2 * pair + side + 1;
            }
        }
    }
    // A frame size that does not fit the channel count, or a format that declares
    // nothing to process (a division waiting to happen): stereo pairs, with a warning.
    const std::tuple<std::uint16_t, std::uint16_t, const char*> misfits[] = {
        {2, 6, "2 channels in frames of 6 bytes"},
        {0, 0, "0 channels in frames of 0 bytes"},
        {2, 0, "2 channels in frames of 0 bytes"},
        {1, 0, "1 channel in frames of 0 bytes"},
        {0, 4, "0 channels in frames of 4 bytes"},
    };
    for (const auto& [channels, blockAlign, declared] : misfits) {
        Bytes odd = WavBuilder{}.format(1, channels, 16).chunk("data", Bytes(30000, 0x11)).bytes();
        odd[32] = static_cast<std::uint8_t>(blockAlign);
        writeFile(dir / "odd.wav", odd);
        fs::remove(dir / "Codd.wav");  // the last row's output is no earlier output of this one
        const RunResult warned = runTwoband(dir.path(), {"odd.wav"});
        EXPECT_EQ(warned.status, 0) << declared;
        EXPECT_EQ(warned.errors, std::string("twoband: odd.wav: warning: the file declares ") + declared +
                                     "; its samples are processed as stereo pairs\n");
        EXPECT_EQ(readFile(dir / "Codd.wav"), compressed(odd)) << declared;
    }
}

// How a row of the formats table stores its samples.
enum class Stored { unsigned8, int24, int32, float32, float64 };

// `sample` (a 16-bit value, plus `fraction` of a step) stored as `stored`, little-endian.
void putStored(Bytes& bytes, Stored stored, std::int16_t sample, double fraction) {
    const auto put = [&](std::uint64_t bits, int count) {
        for (int i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    };
    const double value = sample + fraction;
    switch (stored) {
        case Stored::unsigned8: put(static_cast<std::uint8_t>((sample >> 8) + 128), 1); break;
        case Stored::int24: put(static_cast<std::uint32_t>(static_cast<std::int32_t>(value * 256)), 3); break;
        case Stored::int32: put(static_cast<std::uint32_t>(static_cast<std::int32_t>(value * 65536)), 4); break;
        case Stored::float32: put(std::bit_cast<std::uint32_t>(static_cast<float>(value / 32768)), 4); break;
        case Stored::float64: put(std::bit_cast<std::uint64_t>(value / 32768), 8); break;
    }
}

TEST_F(EndToEnd, EveryPcmFormatComesOutAs16BitPcm) {
    // Each format, container and channel count against the 16-bit path: a file whose
    // samples are the rule's 16-bit result (on the grid, the samples themselves) and
    // whose header says so must give the same output bytes. Before the samples a
    // stale fact count and a LIST chunk, after them tags; an odd frame count, so that
    // 8- and 24-bit data chunks are padded.
    constexpr std::size_t kFrames = 30001;
    const signals::Samples music = signals::mixed(kFrames);
    struct Row {
        Stored stored;
        std::uint16_t tag;  // 0xFFFE: extensible
        WavForm form;
        std::uint16_t channels;
        bool onGrid;
        std::vector<std::string> options = {};
        bool pipe = false;
    };
    const Row rows[] = {
        {Stored::int24, 1, WavForm::riff, 2, true},
        {Stored::int24, 1, WavForm::riff, 2, false},
        {Stored::int24, 1, WavForm::riff, 1, false, {}, true},
        {Stored::int24, 0xFFFE, WavForm::rf64, 6, false},
        {Stored::int24, 1, WavForm::wave64, 3, false, {}, true},
        {Stored::int32, 1, WavForm::wave64, 1, false},
        {Stored::int32, 0xFFFE, WavForm::riff, 2, true},
        {Stored::float32, 3, WavForm::riff, 2, true},
        {Stored::float32, 3, WavForm::riff, 2, false, {"--dither=none"}},
        {Stored::float32, 0xFFFE, WavForm::bw64, 3, false, {}, true},
        {Stored::float64, 3, WavForm::riff, 1, false},
        {Stored::float64, 3, WavForm::wave64, 2, true},
        {Stored::unsigned8, 1, WavForm::riff, 1, true},
        {Stored::unsigned8, 0xFFFE, WavForm::rf64, 2, true, {}, true},
    };
    for (const Row& row : rows) {
        const bool isFloat = row.stored == Stored::float32 || row.stored == Stored::float64;
        const int bits = row.stored == Stored::unsigned8 ? 8 : row.stored == Stored::int24 ? 24
                       : row.stored == Stored::float64 ? 64 : 32;
        Quantiser rule(row.options.empty() ? Dither::triangular : Dither::none);
        Bytes data;
        Bytes expected;  // the rule's 16-bit samples
        for (std::size_t f = 0; f < kFrames; ++f) {
            for (int c = 0; c < row.channels; ++c) {
                auto sample = music[2 * ((f + 997 * c) % kFrames) + c % 2];
                if (row.stored == Stored::unsigned8) sample = static_cast<std::int16_t>(sample & ~0xFF);
                // Fractions of a step that are exact in every format, silence kept.
                const double fraction = row.onGrid || sample == 0 ? 0.0 : ((f * 7 + c * 3) % 255 + 1) / 256.0;
                putStored(data, row.stored, sample, fraction);
                const double stored = row.stored == Stored::float32
                                          ? static_cast<double>(static_cast<float>((sample + fraction) / 32768)) * 32768
                                          : sample + fraction;
                const auto bitsOf = static_cast<std::uint16_t>(rule.quantise(stored));
                expected.insert(expected.end(), {static_cast<std::uint8_t>(bitsOf), static_cast<std::uint8_t>(bitsOf >> 8)});
            }
        }
        const auto build = [&](std::uint16_t tag, std::uint16_t subFormat, int sampleBits, std::span<const std::uint8_t> samples,
                               std::uint32_t factCount) {
            Bytes fact;
            for (int i = 0; i < 4; ++i) fact.push_back(static_cast<std::uint8_t>(factCount >> (8 * i)));
            WavBuilder builder(row.form);
            builder.format(tag, row.channels, static_cast<std::uint16_t>(sampleBits), subFormat)
                .chunk("fact", fact)
                .chunk("LIST", Bytes(25, 'x'));
            Bytes file = builder.chunk("data", samples).chunk("id3 ", Bytes(301, 0x5A)).bytes();
            if (row.form == WavForm::rf64 || row.form == WavForm::bw64) {
                for (int i = 0; i < 8; ++i) file[36 + i] = static_cast<std::uint8_t>(std::uint64_t{kFrames} >> (8 * i));
            }
            return file;
        };
        const std::uint16_t plainTag = row.tag == 0xFFFE ? 0xFFFE : std::uint16_t{1};
        const Bytes input = build(row.tag, isFloat ? 3 : 1, bits, data, 0);
        const Bytes reference = build(plainTag, 1, 16, expected, kFrames);
        const std::string what = std::to_string(bits) + (isFloat ? "-bit float" : "-bit PCM") + " tag " +
                                 std::to_string(row.tag) + " form " + std::to_string(static_cast<int>(row.form)) + ", " +
                                 std::to_string(row.channels) + " channels" + (row.onGrid ? ", on the grid" : "");
        writeFile(dir / "in.wav", input);
        writeFile(dir / "ref.wav", reference);
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"-f", "in.wav"});
        const RunResult run = runTwoband(dir.path(), args);
        ASSERT_EQ(run.status, 0) << what << run.errors;
        const std::string done = row.stored == Stored::unsigned8 ? "widened to 16 bits exactly"
                                 : row.options.empty()           ? "dithered to 16 bits"
                                                                 : "rounded to 16 bits";
        EXPECT_NE(run.output.find(kDefaults + std::to_string(bits) + (isFloat ? "-bit float, " : "-bit PCM, ") + done +
                                  "\nProcessing...\n\n"),
                  std::string::npos) << what << run.output;
        ASSERT_EQ(runTwoband(dir.path(), {"-f", "-q", "ref.wav"}).status, 0) << what;
        const Bytes output = readFile(dir / "Cin.wav");
        EXPECT_TRUE(output == readFile(dir / "Cref.wav")) << what;
        if (row.pipe) {
            RunOptions pipes;
            pipes.pipes = true;
            pipes.input = asInput(input);
            args.back() = "-";
            EXPECT_TRUE(runTwoband(dir.path(), args, pipes).outputBytes == output) << "through a pipe: " << what;
        }
    }
}

// Runs `command` with sh in `folder`; its standard output, or nothing when it fails.
std::optional<std::string> shellOutput(const fs::path& folder, const std::string& command) {
    const std::string line = "cd '" + folder.string() + "' && { " + command + "; } 2>/dev/null";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;) output.append(block, got);
    return pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}

// `metaflac --list` of `file` without what an encoder makes anew: the STREAMINFO and
// SEEKTABLE blocks and the vendor string.
std::string keptMetadata(const fs::path& folder, const std::string& file) {
    const std::string listing = shellOutput(folder, "metaflac --list " + file).value_or("(no listing)");
    std::string kept;
    std::string block;
    const auto flush = [&] {
        if (block.find("type: 0 (STREAMINFO)") == std::string::npos && block.find("type: 3 (SEEKTABLE)") == std::string::npos) kept += block;
        block.clear();
    };
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t end = std::min(listing.find('\n', at), listing.size());
        const std::string line = listing.substr(at, end - at);
        at = end + 1;
        if (line.starts_with("METADATA block")) flush();
        if (line.find("vendor string") == std::string::npos && line.find("is last") == std::string::npos) block += line + "\n";
    }
    flush();
    return kept;
}

TEST_F(EndToEnd, FlacComesOutAsFlacWithEveryMetadataBlock) {
    // FLAC files made by flac and metaflac: every block the input has but STREAMINFO and
    // SEEKTABLE comes out in its place (the vendor string is the encoder's), the output
    // passes flac -t, and its samples are those the same audio gives as WAV, from a file
    // as through a pipe. Odd frame counts; a 24-bit row off the 16-bit grid.
    if (!shellOutput(dir.path(), "flac --version && metaflac --version")) GTEST_SKIP() << "needs flac and metaflac";
    writeFile(dir / "cover.bin", Bytes(300, 0x7E));
    const std::string cue = "FILE \"in.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                            "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n";
    writeFile(dir / "t.cue", Bytes(cue.begin(), cue.end()));
    const std::string tags = "metaflac --set-tag=ARTIST=Someone --set-tag=TITLE=Song "
                             "--import-picture-from='3|image/png|cover|1x1x24|cover.bin' --import-cuesheet-from=t.cue "
                             "--add-seekpoint=1s --add-padding=999 in.flac";
    struct Row {
        const char* what;
        int bits;
        std::uint16_t channels;
        std::string encode;  // in.wav into in.flac
        std::vector<std::string> args = {};
        const char* output = "Cin.flac";
    };
    const Row rows[] = {
        {"tags, picture, cue sheet, seek table, padding", 16, 2, "flac -s -f in.wav && " + tags},
        {"WAV chunks as application blocks, mono", 16, 1, "flac -s -f --keep-foreign-metadata in.wav"},
        {"24-bit, off the grid", 24, 2, "flac -s -f in.wav && " + tags},
        {"no seek table, written as WAV", 16, 2, "flac -s -f -S- in.wav", {"-o", "out.wav"}, "out.wav"},
        {"a WAV file written as FLAC", 16, 2, "cp in.wav in.flac.wav", {"-o", "out.flac"}, "out.flac"},
    };
    constexpr std::size_t kFrames = 3 * signals::kSampleRate + 1;
    const signals::Samples music = signals::musicLike(kFrames);
    for (const Row& row : rows) {
        Bytes data;
        for (std::size_t f = 0; f < kFrames; ++f) {
            for (int c = 0; c < row.channels; ++c) {
                putStored(data, Stored::int24, music[2 * f + c], row.bits == 24 ? ((f * 7 + c) % 255 + 1) / 256.0 : 0);
            }
        }
        if (row.bits == 16) {  // 16-bit: the top two bytes of each 24-bit sample
            Bytes sixteen;
            for (std::size_t i = 0; i < data.size(); i += 3) sixteen.insert(sixteen.end(), {data[i + 1], data[i + 2]});
            data = sixteen;
        }
        WavBuilder builder;
        builder.format(1, row.channels, static_cast<std::uint16_t>(row.bits)).chunk("LIST", Bytes(26, 'x'));
        const std::size_t begin = builder.nextPayload();
        writeFile(dir / "in.wav", builder.chunk("data", data).bytes());
        ASSERT_TRUE(shellOutput(dir.path(), row.encode)) << row.what;
        const std::string input = std::string(row.args.empty() || row.output != std::string("out.flac") ? "in.flac" : "in.flac.wav");
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-f", "-q", input});
        ASSERT_EQ(runTwoband(dir.path(), args).status, 0) << row.what;
        // The same audio as WAV: its samples after the header.
        ASSERT_EQ(runTwoband(dir.path(), {"-f", "-q", "in.wav"}).status, 0) << row.what;
        const Bytes reference = readFile(dir / "Cin.wav");
        const Bytes samples(reference.begin() + static_cast<std::ptrdiff_t>(begin), reference.end());
        const std::string decode = "flac -s -d -c --force-raw-format --endian=little --sign=signed ";
        const auto decoded = [&](const std::string& file) {
            const std::optional<std::string> raw = shellOutput(dir.path(), decode + file);
            return raw ? Bytes(raw->begin(), raw->end()) : Bytes{};
        };
        if (std::string(row.output) == "out.wav") {
            const Bytes output = readFile(dir / row.output);
            EXPECT_TRUE(Bytes(output.begin() + 44, output.end()) == samples) << row.what;
            continue;
        }
        EXPECT_TRUE(shellOutput(dir.path(), std::string("flac -s -t ") + row.output)) << row.what;
        EXPECT_TRUE(decoded(row.output) == samples) << row.what;
        if (input == "in.flac") {
            EXPECT_EQ(keptMetadata(dir.path(), row.output), keptMetadata(dir.path(), input)) << row.what;
            RunOptions pipes;
            pipes.pipes = true;
            pipes.input = asInput(readFile(dir / input));
            writeFile(dir / "piped.flac", runTwoband(dir.path(), {"-"}, pipes).outputBytes);
            EXPECT_TRUE(decoded("piped.flac") == samples) << "through a pipe: " << row.what;
        }
    }
    // A file that only starts as FLAC is refused as damaged.
    Bytes damaged = signals::wavFile(signals::musicLike(signals::kSampleRate));
    std::copy_n("fLaC", 4, damaged.begin());
    writeFile(dir / "song.flac", damaged);
    const RunResult refused = runTwoband(dir.path(), {"song.flac"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("This sample is damaged !\n"), std::string::npos);
    EXPECT_EQ(refused.errors.rfind("twoband: song.flac: a FLAC file whose metadata cannot be read", 0), 0u) << refused.errors;
    EXPECT_FALSE(fs::exists(dir / "Csong.flac"));
}

TEST_F(EndToEnd, InteractiveRunTakesALineAsTheName) {
    const Bytes input = twoSecondsOfMusic();
    writeFile(dir / "my song.wav", input);
    const std::pair<std::string, int> typed[] = {
        {"  \"my song.wav\"\r\n", 1},  // dragged into a terminal (the prompt tests have the rest)
        {"abcd\nmy song.wav\n", 2},   // four characters: asked again
    };
    for (const auto& [lines, prompts] : typed) {
        fs::remove(dir / "Cmy song.wav");
        const RunResult run = runTwoband(dir.path(), {}, {lines, false, 0});
        std::string asked;
        for (int i = 0; i < prompts; ++i) asked += kPrompt;
        EXPECT_EQ(run.status, 0) << lines;
        EXPECT_EQ(run.output, kBanner + asked + "\n\n" + kDefaults + kProcessedTwoSeconds) << lines;
        EXPECT_EQ(readFile(dir / "Cmy song.wav"), compressed(input)) << lines;
    }
}

TEST_F(EndToEnd, EveryNameAUserHasWorks) {
    // Names in every script, with spaces, long ones and long paths, given as typed. The
    // output comes beside the input; a missing sibling's name reads back whole in the
    // transcript and on standard error.
    const Bytes input = twoSecondsOfMusic();
    const Bytes expected = compressed(input);
    std::string deep;
    for (const char letter : {'a', 'b', 'c', 'd', 'e'}) deep += std::string(60, letter) + "/";
    std::string utf8Long;  // 250 bytes
    for (int i = 0; i < 123; ++i) utf8Long += "é";
    utf8Long += ".wav";
    const std::pair<std::string, std::string> names[] = {
        {"", "Café déjà vu.wav"}, {"", "Ελληνικά.wav"},         {"", "Кириллица.wav"},
        {"", "日本語の歌.wav"},   {"", "\U0001F3B5 song.wav"}, {"señor/", "my song.wav"},
        {"", std::string(196, 'n') + ".wav"}, {deep, "song.wav"}, {"", utf8Long},
    };
    for (const auto& [folder, file] : names) {
        fs::create_directories(dir.path() / fs::u8path(folder.empty() ? "." : folder));
        writeFile(dir.path() / fs::u8path(folder + file), input);

        const RunResult run = runTwoband(dir.path(), {folder + file});
        EXPECT_EQ(run.status, 0) << file << run.errors;
        EXPECT_EQ(run.output, kBanner + kDefaults + kProcessedTwoSeconds) << file;
        EXPECT_EQ(readFile(dir.path() / fs::u8path(folder + "C" + file)), expected) << file;

        const std::string missing = folder + "missing " + file;
        const RunResult refused = runTwoband(dir.path(), {missing});
        EXPECT_EQ(refused.output, kBanner + kDefaults + "Could not open " + missing + " !\n\n") << file;
        EXPECT_EQ(refused.errors.rfind("twoband: " + missing + ": ", 0), 0u) << refused.errors;
    }
}

TEST_F(EndToEnd, InteractiveRunEndsAtTheEndOfInput) {
    const RunResult run = runTwoband(dir.path(), {}, {"abc", false, 0});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, kBanner + kPrompt + kPrompt + "\nNo input file given !\n");
}

TEST_F(EndToEnd, FailuresAreReportedAndLeaveNoOutput) {
    const Bytes music = twoSecondsOfMusic();
    writeFile(dir / "short.wav", Bytes(19999, 1));
    fs::create_directory(dir / "folder.wav");
    fs::create_symlink("gone.wav", dir / "vanished.wav");  // its target was removed
    writeFile(dir / "song.wav", music);
    fs::create_directory(dir / "Csong.wav");  // the output name is taken by a folder
    // Damaged: a LIST chunk whose size runs past the end, before the data chunk; a
    // Wave64 chunk whose size jumps past the end.
    const std::span<const std::uint8_t> samples(music.begin() + 44, music.end());
    const Bytes damaged = WavBuilder{}.format(1, 2, 16).chunk("LIST", Bytes(26, 'x'), 999999).chunk("data", samples).bytes();
    writeFile(dir / "damaged.wav", damaged);
    const Bytes damaged64 =
        WavBuilder{WavForm::wave64}.format(1, 2, 16).chunk("JUNK", Bytes(8, 0), 1ull << 40).chunk("data", samples).bytes();
    writeFile(dir / "damaged.w64", damaged64);
    {
        std::ofstream{dir / "huge.wav"};
        fs::resize_file(dir / "huge.wav", 1ull << 32);  // sparse: takes no disk space
    }
    const std::string longName(200, 'n');

    // Every failure ends with status 1; one the system caused names the file and the
    // system's reason in one line on standard error.
    struct Case {
        std::string name;
        std::string after;   // what follows the settings block
        std::string errors;  // "file: reason" on standard error, if any
    };
    std::vector<Case> cases = {
        {"missing.wav", "Could not open missing.wav !\n\n", "missing.wav: No such file or directory"},
        {"nowhere/song.wav", "Could not open nowhere/song.wav !\n\n",
         "nowhere/song.wav: No such file or directory"},
        {"vanished.wav", "Could not open vanished.wav !\n\n", "vanished.wav: No such file or directory"},
        {"folder.wav", "Could not open folder.wav !\n\n", "folder.wav: Is a directory"},
        {longName, "Could not open " + longName + " !\n\n", longName + ": No such file or directory"},
        {"short.wav", "This sample is too short for being compressed !\n",
         "short.wav: 19999 bytes, at least 20000 are needed"},
        {"damaged.wav", "This sample is damaged !\n",
         "damaged.wav: no data chunk: the 'LIST' chunk at byte 36 says 999999 bytes, past the end (" +
             std::to_string(damaged.size()) + " bytes); --raw reads it header-blind"},
        {"damaged.w64", "This sample is damaged !\n",
         "damaged.w64: no data chunk: the 'JUNK' chunk at byte 80 says 1099511627752 bytes, past the end (" +
             std::to_string(damaged64.size()) + " bytes); --raw reads it header-blind"},
        {"huge.wav", "This sample is too long for being compressed !\n",
         "huge.wav: 4294967296 bytes; only RF64, BW64 and Wave64 files may be 4 GiB or longer"},
        {"song.wav", "Processing...\n\n..\nUpdating file...\nCould not overwrite Csong.wav !\n",
         "Csong.wav: Is a directory"},
    };
    if (!testingOtherBuild()) {  // refused at once, never waited on for a writer
        ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
        cases.push_back({"pipe.wav", "Could not open pipe.wav !\n\n", "pipe.wav: not a regular file"});
    }
    for (const Case& c : cases) {
        const RunResult run = runTwoband(dir.path(), {c.name});
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(run.output, kBanner + kDefaults + c.after) << c.name;
        expectDiagnostic(run.errors, c.errors);
    }
    EXPECT_FALSE(fs::exists(dir / "Cshort.wav"));
    EXPECT_FALSE(fs::exists(dir / "Cdamaged.wav"));
    EXPECT_FALSE(fs::exists(dir / "Chuge.wav"));
    // Header-blind, as asked: from byte 44 to the end.
    EXPECT_EQ(runTwoband(dir.path(), {"--raw", "damaged.wav"}).status, 0);
    EXPECT_EQ(readFile(dir / "Cdamaged.wav"), compressed(damaged));
    EXPECT_FALSE(fs::exists(dir / "Cvanished.wav"));
    EXPECT_TRUE(fs::is_directory(dir / "Csong.wav"));
    EXPECT_EQ(readFile(dir / "song.wav"), music);
    EXPECT_EQ(readFile(dir / "short.wav"), Bytes(19999, 1));
    EXPECT_EQ(fs::file_size(dir / "huge.wav"), 1ull << 32);
}

TEST_F(EndToEnd, ReadOnlyFolderLeavesTheInputAlone) {
    if (testingOtherBuild()) {
        GTEST_SKIP() << "needs to run the binary as another user";
    }
    const Bytes music = twoSecondsOfMusic();
    const fs::path folder = dir / "readonly";
    fs::create_directory(folder);
    writeFile(folder / "song.wav", music);
    using fs::perms;
    fs::permissions(dir.path(), perms::owner_all | perms::group_read | perms::group_exec |
                                    perms::others_read | perms::others_exec);
    fs::permissions(folder / "song.wav", perms::owner_read | perms::owner_write |
                                             perms::group_read | perms::others_read);
    fs::permissions(folder, perms::owner_read | perms::owner_exec | perms::group_read |
                                perms::group_exec | perms::others_read | perms::others_exec);

    const RunResult run = runTwoband(folder, {"song.wav"}, {"", /*unprivileged=*/true, 0});

    EXPECT_EQ(run.status, 1);
    expectDiagnostic(run.errors, "Csong.wav: Permission denied");
    EXPECT_EQ(run.output, kBanner + kDefaults +
                              "Processing...\n\n..\nUpdating file...\nCould not overwrite Csong.wav !\n");
    EXPECT_FALSE(fs::exists(folder / "Csong.wav"));
    EXPECT_EQ(readFile(folder / "song.wav"), music);
}

// The hidden temporary files a run left in `folder`.
std::vector<std::string> leftTemporaries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".C", 0) == 0) names.push_back(name);
    }
    return names;
}

fs::perms permissionsOf(const fs::path& path) {
    return fs::symlink_status(path).permissions() & fs::perms::all;
}

TEST_F(EndToEnd, OnlyACompleteFileEverTakesTheOutputName) {
    using fs::perms;
    const Bytes music = twoSecondsOfMusic();
    const Bytes expected = compressed(music);
    const Bytes older = compressed(music, {30.0f, 4.0f, 3});  // an earlier output, other settings
    const Bytes precious(25000, 9);
    const auto created = perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;  // the input's
    fs::permissions(dir.path(), perms::owner_all | perms::group_read | perms::group_exec |
                                    perms::others_read | perms::others_exec);
    const std::string done = kProcessedTwoSeconds;
    const std::string updating = "Processing...\n\n..\nUpdating file...\n";

    struct Case {
        const char* what;
        std::function<void(const fs::path& folder)> prepare;
        bool asNobody;
        std::uint64_t fileSizeLimit;  // 0 for none
        std::string after;   // what follows the settings block
        std::string errors;  // the diagnostic, if any
        // What stands at the output name afterwards, and its permissions (when checked).
        Bytes output;
        std::optional<perms> mode;
        bool nativeOnly;  // needs Linux users, limits, links or a preloaded library
        std::vector<std::string> environment = {};
        bool force = false;  // what stands there is no earlier output: replaced with --force
    };
    const Case cases[] = {
        {"a new output takes its input's mode", [](const fs::path&) {}, false, 0, done, "", expected,
         created, false},
        {"an older output is replaced, and the output takes its input's mode",
         [&](const fs::path& folder) {
             writeEarlierOutput(folder, "song.wav", "Csong.wav");
             fs::permissions(folder / "Csong.wav", perms::owner_read | perms::owner_write | perms::group_read);
         },
         false, 0, done, "", expected, created, true},  // marks
        {"a private input gives a private output",
         [&](const fs::path& folder) { fs::permissions(folder / "song.wav", perms::owner_read | perms::owner_write); },
         false, 0, done, "", expected, perms::owner_read | perms::owner_write, false},
        {"a link to the input is replaced with --force, the input untouched",
         [](const fs::path& folder) { fs::create_symlink("song.wav", folder / "Csong.wav"); },
         false, 0, done, "", expected, created,
         true, {}, true},  // Wine sees the link as the input itself, held open: refused, also safe
        {"a link elsewhere is replaced, its target untouched",
         [&](const fs::path& folder) { fs::create_symlink("../precious", folder / "Csong.wav"); },
         false, 0, done, "", expected, created, false, {}, true},
        {"a hard link is replaced, its other name untouched",
         [&](const fs::path& folder) { fs::create_hard_link(dir / "precious", folder / "Csong.wav"); },
         false, 0, done, "", expected, std::nullopt, true, {}, true},
        {"a read-only older output is refused",
         [&](const fs::path& folder) {
             writeEarlierOutput(folder, "song.wav", "Csong.wav");
             fs::permissions(folder / "Csong.wav", perms::owner_read | perms::group_read | perms::others_read);
         },
         true, 0, updating + "Could not overwrite Csong.wav !\n",
         "Csong.wav: Permission denied", older, std::nullopt, true},
        {"a write failing part-way keeps the older output",
         [&](const fs::path& folder) { writeEarlierOutput(folder, "song.wav", "Csong.wav"); },
         false, 100000, updating + "Could not write Csong.wav !\n",
         "Csong.wav: File too large", older, std::nullopt, true},
        {"a write cut short in the last block keeps the older output",
         [&](const fs::path& folder) { writeEarlierOutput(folder, "song.wav", "Csong.wav"); },
         false, music.size() - 1000, updating + "Could not write Csong.wav !\n",
         "Csong.wav: File too large", older, std::nullopt, true},
        {"a read-only older output in a folder anyone can write is refused",
         [&](const fs::path& folder) {
             fs::permissions(folder, perms::all);
             writeEarlierOutput(folder, "song.wav", "Csong.wav");
             fs::permissions(folder / "Csong.wav", perms::owner_read | perms::group_read | perms::others_read);
         },
         true, 0, updating + "Could not overwrite Csong.wav !\n", "Csong.wav: Permission denied", older,
         std::nullopt, true},
#ifdef FAILING_SYNC_LIBRARY
        {"the output is synced before it is renamed: a failing sync keeps the older output",
         [&](const fs::path& folder) { writeEarlierOutput(folder, "song.wav", "Csong.wav"); },
         false, 0, updating + "Could not write Csong.wav !\n", "Csong.wav: Input/output error", older,
         std::nullopt, true,
         // A sanitizer build's runtime must come first among the libraries; let it not.
         {"LD_PRELOAD=" FAILING_SYNC_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0"}},
#endif
    };
    int number = 0;
    for (const Case& c : cases) {
        if (c.nativeOnly && testingOtherBuild()) continue;
        const fs::path folder = dir / std::to_string(++number);
        fs::create_directory(folder);
        fs::permissions(folder, perms::owner_all | perms::group_read | perms::group_exec |
                                    perms::others_read | perms::others_exec);
        writeFile(folder / "song.wav", music);
        fs::permissions(folder / "song.wav", perms::owner_read | perms::owner_write |
                                                 perms::group_read | perms::others_read);
        writeFile(dir / "precious", precious);
        c.prepare(folder);

        std::vector<std::string> args = {"song.wav"};
        if (c.force) args.insert(args.begin(), "--force");
        const RunResult run = runTwoband(folder, args, {"", c.asNobody, c.fileSizeLimit, {}, c.environment});

        EXPECT_EQ(run.status, c.errors.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(run.output, kBanner + kDefaults + c.after) << c.what;
        expectDiagnostic(run.errors, c.errors);
        EXPECT_FALSE(fs::is_symlink(folder / "Csong.wav")) << c.what;
        EXPECT_EQ(readFile(folder / "Csong.wav"), c.output) << c.what;
        if (c.mode && !testingWindowsBuild()) {
            EXPECT_EQ(permissionsOf(folder / "Csong.wav"), *c.mode) << c.what;
        }
        EXPECT_EQ(readFile(folder / "song.wav"), music) << c.what;
        EXPECT_EQ(readFile(dir / "precious"), precious) << c.what;
        EXPECT_EQ(leftTemporaries(folder), std::vector<std::string>{}) << c.what;
    }
}

TEST_F(EndToEnd, ARunStoppedPartWayLeavesTheOlderOutputWholeAndNoTemporaryFile) {
    // Two files in one run, so that a stop finds several temporary files in flight.
    // Under Wine, SIGINT is the console's Ctrl-C, which ends a Windows program with
    // STATUS_CONTROL_C_EXIT (0xC000013A; Wine passes its low byte on).
    const bool windows = testingWindowsBuild();
    if (testingOtherBuild() && !windows) {
        GTEST_SKIP() << "signals a Linux process";
    }
    const std::vector<std::string> files = {"long.wav", "long2.wav"};
    for (const std::string& name : files) {
        writeFile(dir / name, signals::wavFile({}));  // a data chunk whose size 0 says "to the end"
        fs::resize_file(dir / name, 256ull << 20);    // sparse: takes no disk space
    }
    struct Stop {
        const char* what;
        int signal;         // 0: standard output's reader quits instead
        bool startIgnored;  // as nohup or a background job starts it
        int status;
    };
    const Stop stops[] = {
        {"SIGINT", SIGINT, false, windows ? 0x3A : -1 - SIGINT},
        {"SIGTERM", SIGTERM, false, -1 - SIGTERM},
        {"SIGHUP (the terminal closed)", SIGHUP, false, -1 - SIGHUP},
        {"SIGQUIT", SIGQUIT, false, -1 - SIGQUIT},
        {"SIGKILL", SIGKILL, false, -1 - SIGKILL},
        {"a closed pipe", 0, false, 1},
        {"SIGINT, ignored from the start", SIGINT, true, 0},
    };
    const Bytes older(30000, 7);
    for (const Stop& stop : stops) {
        if (windows && (stop.signal != SIGINT || stop.startIgnored)) continue;  // Ctrl-C alone
        writeFile(dir / "Clong.wav", older);
        RunOptions options;
        if (stop.startIgnored) options.ignoredSignals = {SIGINT};
        std::vector<std::string> args = files;
        args.insert(args.begin(), "--force");  // the older output is no earlier output of long.wav
        BackgroundRun run(dir.path(), args, options);
        // Wait until a new output is being written.
        for (int waited = 0; waited < 10000; ++waited) {
            const std::vector<std::string> temporaries = leftTemporaries(dir.path());
            if (!temporaries.empty() && fs::file_size(dir / temporaries[0]) > 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stop.signal == 0 ? run.closeOutput() : run.signal(stop.signal);
        const RunResult result = run.finish();

        EXPECT_EQ(result.status, stop.status) << stop.what;
        EXPECT_EQ(result.errors, "") << stop.what;  // a stop has nothing to say, a closed pipe neither
        if (stop.status == 0) {
            EXPECT_EQ(fs::file_size(dir / "Clong.wav"), 256ull << 20) << stop.what;
        } else {
            EXPECT_EQ(readFile(dir / "Clong.wav"), older) << stop.what;
        }
        const std::vector<std::string> temporaries = leftTemporaries(dir.path());
        if (stop.signal == SIGKILL) {
            EXPECT_LE(temporaries.size(), files.size());  // nothing can remove them
            for (const std::string& name : temporaries) fs::remove(dir / name);
        } else {
            EXPECT_EQ(temporaries, std::vector<std::string>{}) << stop.what;
        }
        fs::remove(dir / "Clong2.wav");
    }
}

TEST_F(EndToEnd, StandardStreamsThatFail) {
    const Bytes music = twoSecondsOfMusic();
    Bytes misfit = music;  // a warning, said while another file's output is being written
    misfit[32] = 6;
    const std::vector<std::string> outputs = {"Csong.wav", "Cx.wav", "Codd.wav"};
    // Runs with something to say on standard error, and what they leave.
    const auto run = [&](const std::vector<std::string>& args, const RunOptions& options) {
        writeFile(dir / "song.wav", music);
        writeFile(dir / "x.wav", music);
        writeFile(dir / "odd.wav", misfit);
        const RunResult result = runTwoband(dir.path(), args, options);
        std::vector<std::optional<Bytes>> written;
        for (const std::string& name : outputs) {
            written.push_back(fs::exists(dir / name) ? std::optional(readFile(dir / name)) : std::nullopt);
            fs::remove(dir / name);
        }
        return std::pair(result, written);
    };
    // Standard error that cannot be written (full, or closed) changes neither the
    // outcome nor standard output nor what is written.
    const std::vector<std::string> reasons[] = {
        {"song.wav", "200", "8", "2"},        // settings not used, and why
        {"missing.wav"},                       // a failure, and why
        {"song.wav", "x.wav", "missing.wav"},  // several files, one failing
        {"song.wav", "odd.wav", "x.wav"},      // a warning among several files
    };
    for (const std::string errorsTo : {"/dev/full", "-"}) {
        if (errorsTo == "-" && testingOtherBuild()) continue;  // Wine and the emulator start with it open
        for (const std::vector<std::string>& args : reasons) {
            const auto [kept, keptWritten] = run(args, {});
            ASSERT_NE(kept.errors, "") << args[0];
            RunOptions options;
            options.errorsTo = errorsTo;
            const auto [failing, failingWritten] = run(args, options);
            EXPECT_EQ(failing.status, kept.status) << errorsTo << " " << args.size();
            EXPECT_EQ(failing.output, kept.output) << errorsTo << " " << args.size();
            EXPECT_EQ(failingWritten, keptWritten) << errorsTo << " " << args.size();
        }
    }
    // Standard output that cannot be written stops the run at its first line: no
    // output, no temporary file, the reason on standard error (none for a closed
    // pipe, as the stop tests show).
    if (testingOtherBuild()) return;
    const std::pair<std::string, std::string> stops[] = {
        {"/dev/full", "twoband: standard output: No space left on device\n"},
        {"-", "twoband: standard output: Bad file descriptor\n"},
    };
    for (const auto& [outputTo, errors] : stops) {
        RunOptions options;
        options.outputTo = outputTo;
        const auto [stopped, written] = run({"song.wav"}, options);
        EXPECT_EQ(stopped.status, 1) << outputTo;
        EXPECT_EQ(stopped.errors, errors) << outputTo;
        EXPECT_EQ(written[0], std::nullopt) << outputTo;
        EXPECT_EQ(leftTemporaries(dir.path()), std::vector<std::string>{}) << outputTo;
    }
}

TEST_F(EndToEnd, AStopWhileATemporaryFileIsCreatedRemovesItAndEndsPromptly) {
    // A preloaded library holds each open that creates a temporary file, before the
    // file exists or after, while the stop lands. The stop must remove what was made
    // and end within its wait, however long a creation is stuck.
#ifndef HELD_OPEN_LIBRARY
    GTEST_SKIP() << "needs a library preloaded";
#else
    if (testingOtherBuild()) GTEST_SKIP() << "preloads a library into a Linux process";
    const std::vector<std::string> files = {"song.wav", "song2.wav"};
    const Bytes music = twoSecondsOfMusic();
    const Bytes older(30000, 7);
    struct Stop {
        const char* what;
        bool afterTheFileExists;  // the hold comes after the file is made, not before
        int holdMilliseconds;     // the first file's; the other's
        int laterHoldMilliseconds;
        int signal;
    };
    constexpr int kHalf = kStopWaitMilliseconds / 2;
    const Stop stops[] = {
        {"before the file exists, held half the stop's wait", false, kHalf, kHalf, SIGTERM},
        {"before the file exists, held long past the stop's wait", false, 60000, 60000, SIGINT},
        {"after the file exists, held half the stop's wait", true, kHalf, kHalf, SIGHUP},
        {"after the file exists, held long past the stop's wait", true, 60000, 60000, SIGTERM},
        // The stop removes the first file while it waits for the other, and the first
        // run goes on meanwhile into the failures the stop causes: it must say nothing.
        {"after the file exists, held briefly, and the other long", true, kHalf / 5, kStopWaitMilliseconds - 50,
         SIGTERM},
    };
    const TempDir logs;
    for (const Stop& stop : stops) {
        for (const std::string& name : files) writeFile(dir / name, music);
        writeFile(dir / "Csong.wav", older);
        const fs::path log = logs / "holds";
        fs::remove(log);
        RunOptions options;
        options.environment = {"LD_PRELOAD=" HELD_OPEN_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0",
                               "HELD_OPEN_LOG=" + log.string(),
                               "HELD_OPEN_MILLISECONDS=" + std::to_string(stop.holdMilliseconds) + "," +
                                   std::to_string(stop.laterHoldMilliseconds)};
        if (stop.afterTheFileExists) options.environment.push_back("HELD_OPEN_AFTER=1");
        options.longestRun = std::chrono::seconds(5);
        std::vector<std::string> args = files;
        args.insert(args.begin(), "--force");  // the older output is no earlier output of song.wav
        BackgroundRun run(dir.path(), args, options);
        // Until both creations are held.
        const auto holds = [&] { return fs::exists(log) ? fs::file_size(log) : 0; };
        for (int waited = 0; waited < 5000 && holds() < files.size(); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(holds(), files.size()) << stop.what;
        if (stop.afterTheFileExists) {  // in flight, hidden beside their outputs
            EXPECT_EQ(leftTemporaries(dir.path()).size(), files.size()) << stop.what;
        }
        const auto sent = std::chrono::steady_clock::now();
        run.signal(stop.signal);
        const RunResult result = run.finish();
        const auto took = std::chrono::steady_clock::now() - sent;

        EXPECT_EQ(result.status, -1 - stop.signal) << stop.what;
        EXPECT_EQ(result.errors, "") << stop.what;
        EXPECT_LT(took, std::chrono::milliseconds(kStopWaitMilliseconds + 1000)) << stop.what;
        EXPECT_EQ(leftTemporaries(dir.path()), std::vector<std::string>{}) << stop.what;
        // A creation that ends within the stop's wait lets its run go on meanwhile, and
        // one may finish: the name then holds the whole new output, never a part.
        const Bytes expected = compressed(music);
        const bool mayFinish = stop.holdMilliseconds < kStopWaitMilliseconds;
        const Bytes output = readFile(dir / "Csong.wav");
        EXPECT_TRUE(output == older || (mayFinish && output == expected)) << stop.what;
        EXPECT_TRUE(!fs::exists(dir / "Csong2.wav") || (mayFinish && readFile(dir / "Csong2.wav") == expected))
            << stop.what;
        fs::remove(dir / "Csong2.wav");
    }
#endif
}

TEST_F(EndToEnd, SeveralFilesInOneRun) {
    if (!marksKept()) GTEST_SKIP() << "proves earlier outputs by their marks";
    // The first file is the longest, so that the files behind it finish first and their
    // blocks are held; the transcript must not show it, run after run.
    const Bytes intro = signals::wavFile(signals::musicLike(4 * signals::kSampleRate));
    const Bytes song = signals::wavFile(signals::loudBursts(signals::kSampleRate));
    const Bytes x = twoSecondsOfMusic();
    const auto block = [](const std::string& head, const std::string& dots) {
        return head + "\nProcessing...\n\n" + dots + "\nUpdating file...\nDone !\n";
    };
    const std::string settings30 = "User defined settings:\nMax Gain (4-100) = 30.000000\n"
                                   "Recover Speed (1-9) = 4.000000\nFeedback Speed (1-4) = 3\n\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string transcript;  // after the banner
        std::string errors;
        int status;
        Settings settings;       // of the outputs written
    };
    const Case cases[] = {
        {{"01 Intro.wav", "02 Song.wav", "missing.wav", "x.wav", "30", "4", "3"},
         settings30 + block("[1/4] 01 Intro.wav", ".....") + block("[2/4] 02 Song.wav", ".") +
             "[3/4] missing.wav\nCould not open missing.wav !\n\n" + block("[4/4] x.wav", "..") +
             "4 files: 3 written, 1 failed\n",
         "missing.wav: No such file or directory", 1, {30.0f, 4.0f, 3}},
        // An output named as other tools take it is a name that fails, with how -o names one.
        {{"x.wav", "out.wav"},
         kDefaults + block("[1/2] x.wav", "..") + "[2/2] out.wav\nCould not open out.wav !\n\n2 files: 1 written, 1 failed\n",
         "out.wav: No such file or directory; -o names an output: twoband x.wav -o out.wav", 1, {}},
        // Mistyped names are no settings: each fails on its own line.
        {{"x.wav", "a.wav", "b.wav", "c.wav"},
         kDefaults + block("[1/4] x.wav", "..") + "[2/4] a.wav\nCould not open a.wav !\n\n[3/4] b.wav\nCould not open b.wav !\n\n"
         "[4/4] c.wav\nCould not open c.wav !\n\n4 files: 1 written, 3 failed\n",
         "a.wav: No such file or directory\ntwoband: b.wav: No such file or directory\ntwoband: c.wav: No such file or directory",
         1, {}},
        {{"x.wav", "Cx.wav", "x.wav", "./x.wav"},
         kDefaults + block("[1/2] x.wav", "..") + "[2/2] Cx.wav: the output of x.wav, left as it is\n" +
             "2 files: 1 written, 0 failed, 1 left as it is\n",
         "", 0, {}},
    };
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            writeFile(dir / "01 Intro.wav", intro);
            writeFile(dir / "02 Song.wav", song);
            writeFile(dir / "x.wav", x);
            writeEarlierOutput(dir.path(), "x.wav", "Cx.wav");
            const RunResult run = runTwoband(dir.path(), c.args);
            EXPECT_EQ(run.status, c.status) << c.args[1];
            EXPECT_EQ(run.output, kBanner + c.transcript) << c.args[1];
            if (!testingWindowsBuild() || c.errors.find('\n') == std::string::npos) expectDiagnostic(run.errors, c.errors);
            for (const auto& [name, input] : {std::pair{"01 Intro.wav", &intro}, {"02 Song.wav", &song}, {"x.wav", &x}}) {
                if (std::find(c.args.begin(), c.args.end(), name) != c.args.end()) {
                    EXPECT_EQ(readFile(dir / (std::string("C") + name)), compressed(*input, c.settings)) << name;
                }
            }
            EXPECT_FALSE(fs::exists(dir / "CCx.wav"));
        }
    }
}

// What a folder holds after a run: each name's bytes, or no such file.
using Files = std::vector<std::pair<std::string, std::optional<Bytes>>>;

void expectFiles(const fs::path& folder, const Files& files, const std::string& what) {
    for (const auto& [name, bytes] : files) {
        if (bytes) {
            EXPECT_EQ(readFile(folder / name), *bytes) << what << ": " << name;
        } else {
            EXPECT_FALSE(fs::exists(folder / name)) << what << ": " << name;
        }
    }
}

TEST_F(EndToEnd, AnOutputNameOnlyEverReplacesAnEarlierOutput) {
    if (!marksKept()) GTEST_SKIP() << "proves earlier outputs by their marks";
    // lose.wav and Close.wav, its output name: an unrelated, longer track, or an earlier
    // output (its length, its header, other samples).
    const Bytes lose = twoSecondsOfMusic();
    const Bytes track = signals::wavFile(signals::loudBursts(3 * signals::kSampleRate));
    const Bytes earlier = compressed(lose, {30.0f, 4.0f, 3});
    const Bytes shorter = signals::wavFile(signals::musicLike(signals::kSampleRate));
    const Bytes long6 = signals::wavFile(signals::musicLike(6 * signals::kSampleRate));
    const Bytes minute = signals::wavFile(signals::loudBursts(60 * signals::kSampleRate));
    const Bytes take2 = signals::wavFile(signals::loudBursts(2 * signals::kSampleRate));  // lose's length and header
    Bytes edited = earlier;  // edited in place after it was written
    edited[1000] ^= 0xFF;
    const bool windows = testingWindowsBuild();
    const std::string refused = "exists and is not an earlier output of lose.wav; not replaced (--force replaces it)";
    const std::string changed =
        "Close.wav: exists and has changed since it was written as the output of lose.wav; not replaced (--force "
        "replaces it)";
    const std::vector<std::string> earlierRun = {"lose.wav", "30", "4", "3"};
    const auto edit = [&](const fs::path& folder) { writeFile(folder / "Close.wav", edited); };
    const auto append = [&](const fs::path& folder) {
        std::ofstream(folder / "Close.wav", std::ios::binary | std::ios::app) << std::string(100, '\0');
    };
#ifdef NO_MARKS_LIBRARY
    const std::vector<std::string> noMarks = {"LD_PRELOAD=" NO_MARKS_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0"};
#endif
    // A tagged file, and files of its length that differ from it only before or after
    // the samples: no earlier outputs of it.
    const std::span<const std::uint8_t> samples(lose.begin() + 44, lose.end());
    const auto withTail = [](Bytes bytes) {
        bytes.insert(bytes.end(), 100, 0);
        return bytes;
    };
    const auto tagged = [&](char title, char tag) {
        return WavBuilder{}.format(1, 2, 16).chunk("LIST", Bytes(12, title)).chunk("data", samples).chunk("id3 ", Bytes(9, tag)).bytes();
    };
    const std::string updating = "Processing...\n\n..\nUpdating file...\n";
    struct Case {
        const char* what;
        Files before;
        std::vector<std::vector<std::string>> runs;  // in turn; the last one is checked
        int status;
        std::string transcript;  // after the settings; not checked when empty
        std::string errors;
        Files after;
        std::vector<std::pair<std::string, std::string>> hardLinks = {};  // (name, its other name)
        std::vector<std::pair<std::string, std::string>> links = {};      // (name, what it points to)
        std::function<void(const fs::path& folder)> beforeLast = nullptr;  // a change before the last run
        std::vector<std::string> environment = {};                          // of every run
    };
    const Case cases[] = {
        {"an unrelated track at the output name is kept",
         {{"lose.wav", lose}, {"Close.wav", track}}, {{"lose.wav"}}, 1,
         updating + "Could not overwrite Close.wav !\n", "Close.wav: " + refused,
         {{"Close.wav", track}, {"CClose.wav", std::nullopt}}},
        {"and named among several files, it is compressed as a track of its own",
         {{"lose.wav", lose}, {"Close.wav", track}}, {{"lose.wav", "Close.wav"}}, 1, "", "Close.wav: " + refused,
         {{"Close.wav", track}, {"CClose.wav", compressed(track)}}},
        {"--force replaces it", {{"lose.wav", lose}, {"Close.wav", track}}, {{"lose.wav", "-f"}}, 0,
         updating + "Done !\n", "", {{"Close.wav", compressed(lose)}}},
        // Close.wav's turn would come after lose.wav's output replaced it, or (a long
        // track) it would be read while the output replaces it, which Windows refuses:
        // it is read whole first.
        {"with --force, a track that another input's output replaces is read as it was",
         {{"lose.wav", lose}, {"a.wav", long6}, {"b.wav", long6}, {"c.wav", long6}, {"Close.wav", track}},
         {{"-f", "lose.wav", "a.wav", "b.wav", "c.wav", "Close.wav"}}, 0, "", "",
         {{"Close.wav", compressed(lose)}, {"CClose.wav", compressed(track)}}},
        {"the files keep their place numbers though the second is read first", {{"lose.wav", lose}, {"Close.wav", track}},
         {{"-f", "lose.wav", "Close.wav"}}, 0,
         "[1/2] lose.wav\n" + updating + "Done !\n[2/2] Close.wav\nProcessing...\n\n....\nUpdating file...\nDone !\n"
         "2 files: 2 written, 0 failed\n",
         "", {{"Close.wav", compressed(lose)}, {"CClose.wav", compressed(track)}}},
        {"and a long one as well", {{"lose.wav", lose}, {"Close.wav", minute}}, {{"-f", "lose.wav", "Close.wav"}}, 0, "",
         "", {{"Close.wav", compressed(lose)}, {"CClose.wav", compressed(minute)}}},
        {"an earlier output is replaced", {{"lose.wav", lose}}, {earlierRun, {"lose.wav"}}, 0,
         updating + "Done !\n", "", {{"Close.wav", compressed(lose)}}},
        {"an earlier output edited in place afterwards is the user's again", {{"lose.wav", lose}},
         {earlierRun, {"lose.wav"}}, 1, updating + "Could not overwrite Close.wav !\n", changed,
         {{"Close.wav", edited}}, {}, {}, edit},
        {"and --force replaces it", {{"lose.wav", lose}}, {earlierRun, {"lose.wav", "-f"}}, 0, updating + "Done !\n", "",
         {{"Close.wav", compressed(lose)}}, {}, {}, edit},
        {"an output of the input before it changed is replaced",
         {{"lose.wav", lose}, {"old/lose.wav", shorter}}, {{"old/lose.wav", "-o", "Close.wav"}, {"lose.wav"}}, 0,
         updating + "Done !\n", "", {{"Close.wav", compressed(lose)}}},
        {"and a run over both makes no CC file", {{"lose.wav", lose}, {"old/lose.wav", shorter}},
         {{"old/lose.wav", "-o", "Close.wav"}, {"lose.wav", "Close.wav"}}, 0,
         "[1/2] lose.wav\n" + updating + "Done !\n[2/2] Close.wav: the output of lose.wav, left as it is\n"
         "2 files: 1 written, 0 failed, 1 left as it is\n",
         "", {{"Close.wav", compressed(lose)}, {"CClose.wav", std::nullopt}}},
        {"another input's output at the output name is kept", {{"lose.wav", lose}, {"other.wav", shorter}},
         {{"other.wav", "-o", "Close.wav"}, {"lose.wav"}}, 1, updating + "Could not overwrite Close.wav !\n",
         "Close.wav: " + refused, {{"Close.wav", compressed(shorter)}}},
        {"an output whose input is gone is compressed as a track of its own", {{"old/gone.wav", shorter}},
         {{"old/gone.wav", "-o", "Cgone.wav"}, {"Cgone.wav"}}, 0, "Processing...\n\n.\nUpdating file...\nDone !\n", "",
         {{"CCgone.wav", compressed(compressed(shorter))}}},
        {"an earlier output with bytes added after it is kept", {{"lose.wav", lose}}, {earlierRun, {"lose.wav"}}, 1, "",
         changed, {{"Close.wav", withTail(earlier)}}, {}, {}, append},
        {"the user's loop of the input's length and header is kept", {{"lose.wav", lose}, {"Close.wav", take2}},
         {{"lose.wav"}}, 1, updating + "Could not overwrite Close.wav !\n", "Close.wav: " + refused,
         {{"Close.wav", take2}}},
        {"and a run over the folder compresses it as a track of its own", {{"lose.wav", lose}, {"Close.wav", take2}},
         {{"-r", "."}}, 1, "", "./Close.wav: exists and is not an earlier output of ./lose.wav; not replaced (--force replaces it)",
         {{"Close.wav", take2}, {"CClose.wav", compressed(take2)}}},
        {"and named alone, it is compressed, --force or not", {{"lose.wav", lose}, {"Close.wav", take2}},
         {{"Close.wav"}, {"-f", "Close.wav"}}, 0, "Processing...\n\n..\nUpdating file...\nDone !\n", "",
         {{"Close.wav", take2}, {"CClose.wav", compressed(take2)}}},
        {"a different take at -o is kept", {{"lose.wav", lose}, {"take2.wav", take2}}, {{"lose.wav", "-o", "take2.wav"}},
         1, updating + "Could not overwrite take2.wav !\n",
         "take2.wav: exists and is not an earlier output of lose.wav; not replaced (--force replaces it)",
         {{"take2.wav", take2}}},
        {"and with --force replaced", {{"lose.wav", lose}, {"take2.wav", take2}},
         {{"lose.wav", "-o", "take2.wav", "-f"}}, 0, updating + "Done !\n", "", {{"take2.wav", compressed(lose)}}},
        {"a different take in the -d folder is kept", {{"lose.wav", lose}, {"out/lose.wav", take2}},
         {{"lose.wav", "-d", "out"}}, 1, updating + "Could not overwrite out/lose.wav !\n",
         "out/lose.wav: exists and is not an earlier output of lose.wav; not replaced (--force replaces it)",
         {{"out/lose.wav", take2}}},
        {"and with --force replaced", {{"lose.wav", lose}, {"out/lose.wav", take2}}, {{"lose.wav", "-d", "out", "-f"}}, 0,
         updating + "Done !\n", "", {{"out/lose.wav", compressed(lose)}}},
        {"the earlier-output rule leaves an input named for -o alone: it is compressed", {{"lose.wav", lose}},
         {earlierRun, {"Close.wav", "-o", "out.wav"}}, 0, updating + "Done !\n", "",
         {{"Close.wav", earlier}, {"out.wav", compressed(earlier)}, {"CClose.wav", std::nullopt}}},
#ifdef NO_MARKS_LIBRARY
        {"on a file system without marks even an earlier output is kept", {{"lose.wav", lose}}, {earlierRun, {"lose.wav"}},
         1, updating + "Could not overwrite Close.wav !\n",
         "Close.wav: exists, and this file system keeps no marks to prove it an earlier output of lose.wav; not "
         "replaced (--force replaces it)",
         {{"Close.wav", earlier}}, {}, {}, nullptr, noMarks},
        {"and with --force replaced", {{"lose.wav", lose}}, {earlierRun, {"-f", "lose.wav"}}, 0, updating + "Done !\n", "",
         {{"Close.wav", compressed(lose)}}, {}, {}, nullptr, noMarks},
#endif
        {"a file of its length with another header is kept", {{"lose.wav", tagged('a', 'x')}, {"Close.wav", tagged('b', 'x')}},
         {{"lose.wav"}}, 1, "", "Close.wav: " + refused, {{"Close.wav", tagged('b', 'x')}}},
        {"a file of its length with other tags after the samples is kept",
         {{"lose.wav", tagged('a', 'x')}, {"Close.wav", tagged('a', 'y')}}, {{"lose.wav"}}, 1, "", "Close.wav: " + refused,
         {{"Close.wav", tagged('a', 'y')}}},
        {"an earlier output named alone is left as it is", {{"lose.wav", lose}}, {earlierRun, {"Close.wav"}}, 0,
         "Close.wav: the output of lose.wav, left as it is\n", "", {{"Close.wav", earlier}, {"CClose.wav", std::nullopt}}},
        {"two runs in turn make no CC file", {{"lose.wav", lose}}, {{"lose.wav"}, {"lose.wav", "Close.wav"}}, 0,
         "[1/2] lose.wav\n" + updating + "Done !\n[2/2] Close.wav: the output of lose.wav, left as it is\n"
         "2 files: 1 written, 0 failed, 1 left as it is\n",
         "", {{"Close.wav", compressed(lose)}, {"CClose.wav", std::nullopt}}},
        {"a track that only looks like an output is compressed", {{"lose.wav", lose}, {"Close.wav", track}},
         {{"Close.wav"}}, 0, "Processing...\n\n....\nUpdating file...\nDone !\n", "",
         {{"CClose.wav", compressed(track)}, {"lose.wav", lose}}},
        {"two names of one file each get their output", {{"Album/x.wav", lose}},
         {{"Album/x.wav", "Playlist/x.wav"}}, 0,
         "[1/2] Album/x.wav\n" + updating + "Done !\n[2/2] Playlist/x.wav\n" + updating +
             "Done !\n2 files: 2 written, 0 failed\n",
         "", {{"Album/Cx.wav", compressed(lose)}, {"Playlist/Cx.wav", compressed(lose)}},
         {{"Playlist/x.wav", "Album/x.wav"}}},
        {"an output name that is a link to another input is kept", {{"a.wav", lose}, {"b.wav", track}},
         {{"a.wav", "b.wav"}}, 1, "", "Ca.wav: exists and is not an earlier output of a.wav; not replaced (--force replaces it)",
         {{"Ca.wav", track}, {"b.wav", track}, {"Cb.wav", compressed(track)}}, {}, {{"Ca.wav", "b.wav"}}},
        {"and with --force replaced as a name, the other input read as it was", {{"a.wav", lose}, {"b.wav", track}},
         {{"-f", "b.wav", "a.wav"}}, 0, "", "", {{"Ca.wav", compressed(lose)}, {"b.wav", track}, {"Cb.wav", compressed(track)}},
         {}, {{"Ca.wav", "b.wav"}}},
        {"an input named before it exists, as another input's output, is left as it is", {{"x.wav", lose}},
         {{"Cx.wav", "x.wav"}}, 0,
         "[1/2] Cx.wav: the output of x.wav, left as it is\n[2/2] x.wav\n" + updating +
             "Done !\n2 files: 1 written, 0 failed, 1 left as it is\n",
         "", {{"Cx.wav", compressed(lose)}, {"CCx.wav", std::nullopt}}},
        {"a dangling link among the names fails on its own", {{"x.wav", lose}}, {{"dangling.wav", "x.wav"}}, 1,
         "[1/2] dangling.wav\nCould not open dangling.wav !\n\n[2/2] x.wav\n" + updating +
             "Done !\n2 files: 1 written, 1 failed\n",
         "dangling.wav: No such file or directory", {{"Cx.wav", compressed(lose)}}, {}, {{"dangling.wav", "gone.wav"}}},
        {"the same name twice is one", {{"x.wav", lose}}, {{"x.wav", "./x.wav", "x.wav"}}, 0,
         "[1/1] x.wav\n" + updating + "Done !\n1 file: 1 written, 0 failed\n", "", {{"Cx.wav", compressed(lose)}}},
        // Windows compares names without case: COld.wav is Cold.wav there.
        {"a name that differs only in case", {{"Old.wav", lose}, {"Cold.wav", track}}, {{"Old.wav"}},
         windows ? 1 : 0, updating + (windows ? "Could not overwrite COld.wav !\n" : "Done !\n"),
         windows ? "COld.wav: exists and is not an earlier output of Old.wav; not replaced (--force replaces it)" : "",
         {{"Cold.wav", track}, {"COld.wav", windows ? std::nullopt : std::optional(compressed(lose))}}},
    };
    int number = 0;
    for (const Case& c : cases) {
        const fs::path folder = dir / std::to_string(++number);
        for (const auto& [name, bytes] : c.before) {
            fs::create_directories((folder / name).parent_path());
            writeFile(folder / name, *bytes);
        }
        for (const auto& [name, target] : c.hardLinks) {
            fs::create_directories((folder / name).parent_path());
            fs::create_hard_link(folder / target, folder / name);
        }
        for (const auto& [name, target] : c.links) fs::create_symlink(target, folder / name);
        if (!c.environment.empty() && testingOtherBuild()) continue;  // a preloaded library
        RunResult run;
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            if (i + 1 == c.runs.size() && c.beforeLast) c.beforeLast(folder);
            run = runTwoband(folder, c.runs[i], {"", false, 0, {}, c.environment});
        }

        EXPECT_EQ(run.status, c.status) << c.what;
        if (!c.transcript.empty()) {
            EXPECT_EQ(run.output, kBanner + kDefaults + c.transcript) << c.what;
        }
        expectDiagnostic(run.errors, c.errors);
        expectFiles(folder, c.after, c.what);
    }
}

TEST_F(EndToEnd, TheTreeRecipeRunTwiceMakesNoCCFile) {
    if (!marksKept()) GTEST_SKIP() << "tells earlier outputs by their marks";
    // find hands the files over all at once ({} +) or one per run (;): either way a
    // second pass finds the first one's outputs and leaves them as they are.
    const Bytes music = twoSecondsOfMusic();
    const std::vector<std::string> tracks = {"Music/x.wav", "Music/a/y.wav", "Music/a/b/z.wav"};
    for (const char* end : {"+", ";"}) {
        fs::remove_all(dir / "Music");
        for (const std::string& track : tracks) {
            fs::create_directories((dir / track).parent_path());
            writeFile(dir / track, music);
        }
        for (int pass = 0; pass < 2; ++pass) {
            RunOptions find;
            find.launcher = {"find", "Music", "-name", "*.wav", "-exec"};
            const RunResult run = runTwoband(dir.path(), {"{}", end}, find);
            EXPECT_EQ(run.status, 0) << end << " pass " << pass << run.errors;
        }
        std::vector<std::string> written;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir / "Music")) {
            if (entry.is_regular_file()) written.push_back(fs::relative(entry.path(), dir.path()).generic_string());
        }
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written, (std::vector<std::string>{"Music/Cx.wav", "Music/a/Cy.wav", "Music/a/b/Cz.wav",
                                                      "Music/a/b/z.wav", "Music/a/y.wav", "Music/x.wav"}))
            << end;
        EXPECT_EQ(readFile(dir / "Music/a/b/Cz.wav"), compressed(music)) << end;
    }
}

TEST_F(EndToEnd, OptionsStandAnywhereAndUnknownOnesAreRefused) {
    const std::string usage = kUsageText;
    for (const char* text : {"4 to 100", "default 20", "1 to 9", "default 8", "1 to 4",
                             "default 2", "Csong.wav", "Example", "./--help"}) {
        EXPECT_NE(usage.find(text), std::string::npos) << text;
    }
    writeFile(dir / "--help", twoSecondsOfMusic());
    struct Case {
        std::vector<std::string> args;
        std::string output;
        int status;
        std::string problem = {};  // on standard error, before the usage hint
    };
    const Case cases[] = {
        {{"--help"}, usage, 0},
        {{"-h"}, usage, 0},
        {{"/?"}, usage, 0},
        {{"--version"}, kVersionLine, 0},
        {{"./--help"}, kBanner + kDefaults + kProcessedTwoSeconds, 0},  // a file of that name
        {{"-f", "--", "--help"}, kBanner + kDefaults + kProcessedTwoSeconds, 0},
        {{"--help", "20", "8"}, usage, 0},
        {{"x.wav", "--version", "20", "8", "2"}, kVersionLine, 0},
        {{"--Version"}, "", 1, "unknown option '--Version'"},
        {{"x.wav", "-fz"}, "", 1, "unknown option '-z'"},
        {{"--force=yes", "x.wav"}, "", 1, "option '--force' takes no value"},
        {{"x.wav", "-o", "a.wav", "--output=b.wav"}, "", 1, "option '--output' given twice, as 'a.wav' and 'b.wav'"},
        {{"-r", "Music", "-o", "out.wav"}, "", 1,
         "--output names the output of one input; --output-dir takes the outputs of several"},
        {{"-r", "x.wav", "-c"}, "", 1, "--stdout takes the result of one input"},
        {{"--loudness=-80", "x.wav"}, "", 1, "--loudness -80 is outside -70 to 0"},
        {{"--true-peak", "1", "x.wav"}, "", 1, "--true-peak 1 is outside -9 to 0"},
        {{"--loudness=loud", "x.wav"}, "", 1, "--loudness 'loud' is not a number"},
        {{"--target=tv", "x.wav"}, "", 1, "--target 'tv' is none of podcast, r128, streaming"},
        {{"--target=r128", "--loudness=-20", "x.wav"}, "", 1, "--target and --loudness cannot be used together"},
    };
    for (const Case& c : cases) {
        const RunResult run = runTwoband(dir.path(), c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_EQ(run.output, c.output) << c.args[0] << " with " << c.args.size() << " arguments";
        EXPECT_EQ(run.errors, c.problem.empty() ? "" : "twoband: " + c.problem + "\n" + kUsageHint) << c.args[0];
    }
    EXPECT_TRUE(fs::exists(dir / "C--help"));
}

// `bytes` as standard input's text.
TEST_F(EndToEnd, APipeCarriesTheBytesAFileRunWrites) {
    // Each input through real pipes: the output on standard output is the file run's
    // output of the same bytes, and standard error holds the file run's transcript
    // (the reasons with the stream's name), in the same words and order.
    const Bytes music = twoSecondsOfMusic();
    const std::span<const std::uint8_t> samples(music.begin() + 44, music.end());
    Bytes streamed = music;  // as ffmpeg writes to a pipe: both sizes 0xFFFFFFFF
    std::fill_n(streamed.begin() + 4, 4, 0xFF);
    std::fill_n(streamed.begin() + 40, 4, 0xFF);
    Bytes sizeZero = music;  // as sox writes to a pipe
    std::fill_n(sizeZero.begin() + 40, 4, 0);
    const Bytes tagsAfter = WavBuilder{}.format(1, 2, 16).chunk("LIST", Bytes(25, 'x')).chunk("data", samples).chunk("id3 ", Bytes(301, 0x5A)).bytes();
    // Chunks before the samples past the stream's first look.
    const Bytes bigHeader = WavBuilder{}.format(1, 2, 16).chunk("JUNK", Bytes(300000, 0)).chunk("data", samples).bytes();
    Bytes flac = music;
    std::copy_n("fLaC", 4, flac.begin());
    Bytes dataSizeOnes = music;  // the RIFF size true, the data size a placeholder
    std::fill_n(dataSizeOnes.begin() + 40, 4, 0xFF);
    Bytes rf64NearTop = WavBuilder{WavForm::rf64}.format(1, 2, 16).chunk("data", samples).bytes();
    std::fill_n(rf64NearTop.begin() + 28, 8, 0xFF);  // the ds64 data size
    rf64NearTop[28] = 0xF0;
    const Bytes wave64NearTop =
        WavBuilder{WavForm::wave64}.format(1, 2, 16).chunk("data", samples, 0xFFFFFFFFFFFFFFF0ull).bytes();
    // Chunks before the samples that fill what a stream may hold before them, exactly.
    const Bytes headerToTheLimit = WavBuilder{}
                                       .format(1, 2, 16)
                                       .chunk("JUNK", Bytes(kMostStreamHeaderBytes - 12 - 24 - 8 - 8, 0))
                                       .chunk("data", samples)
                                       .bytes();
    struct Case {
        const char* what;
        Bytes input;
        std::vector<std::string> settings = {};  // and options
        bool refused = false;
        // The bytes of size fields that hold placeholders: a file gets their true values,
        // a pipe the input's, since nothing can be rewritten there.
        std::vector<std::pair<std::size_t, std::size_t>> placeholders = {};
        // Too large to write as a file quickly: the pipe's bytes against the engine in
        // memory, with the samples from `pipeOnly` on.
        std::uint64_t pipeOnly = 0;
    };
    const std::vector<std::pair<std::size_t, std::size_t>> riffSizes = {{4, 8}, {40, 44}};
    const Case cases[] = {
        {"a canonical WAV file", music},
        {"sizes of 0xFFFFFFFF", streamed, {}, false, riffSizes},
        {"a data size of 0", sizeZero, {}, false, {{40, 44}}},
        {"chunks after the data", tagsAfter},
        {"chunks before the data past the first look", bigHeader},
        {"RF64", WavBuilder{WavForm::rf64}.format(1, 2, 16).chunk("data", samples).bytes()},
        {"Wave64", WavBuilder{WavForm::wave64}.format(1, 2, 16).chunk("data", samples).chunk("tags", Bytes(9, 1)).bytes()},
        {"settings after -", music, {"30", "4", "3"}},
        {"a 19999-byte stream", Bytes(music.begin(), music.begin() + 19999), {}, true},
        {"a FLAC stream", flac, {}, true},
        {"the shortest stream taken", Bytes(music.begin(), music.begin() + 20000), {}, false, riffSizes},
        {"no data chunk: damaged", WavBuilder{}.format(1, 2, 16).chunk("JUNK", Bytes(30000, 0x21)).bytes(), {}, true},
        {"--raw, to its end", music, {"--raw"}},
        {"a data size of 0xFFFFFFFF", dataSizeOnes, {}, false, {{40, 44}}},
        {"an RF64 data size near the top of 64 bits", rf64NearTop, {}, false, {{28, 36}}},
        {"a Wave64 data size near the top of 64 bits", wave64NearTop, {}, false, {{96, 104}}},
        {"chunks before the data up to the most a stream holds", headerToTheLimit, {}, false, {}, kMostStreamHeaderBytes},
    };
    for (const Case& c : cases) {
        if (c.pipeOnly != 0) {
            RunOptions pipes;
            pipes.pipes = true;
            pipes.input = asInput(c.input);
            const RunResult piped = runTwoband(dir.path(), {"-"}, pipes);
            Bytes expected = c.input;
            compressInMemory(expected, {}, bestFrameKernel(), SampleRange{c.pipeOnly, expected.size()});
            EXPECT_EQ(piped.status, 0) << c.what << piped.errors;
            EXPECT_TRUE(piped.outputBytes == expected) << c.what;
            continue;
        }
        writeFile(dir / "in.wav", c.input);
        fs::remove(dir / "Cin.wav");
        std::vector<std::string> args = c.settings;
        args.insert(args.begin(), "in.wav");
        const RunResult file = runTwoband(dir.path(), args);
        args.front() = std::string(kStandardStream);
        RunOptions pipes;
        pipes.pipes = true;
        pipes.input = asInput(c.input);
        const RunResult piped = runTwoband(dir.path(), args, pipes);

        EXPECT_EQ(file.status, c.refused ? 1 : 0) << c.what;
        EXPECT_EQ(piped.status, file.status) << c.what;
        Bytes onAPipe = file.status == 0 ? readFile(dir / "Cin.wav") : Bytes{};
        for (const auto& [from, to] : c.placeholders) {
            EXPECT_FALSE(std::equal(c.input.begin() + from, c.input.begin() + to, onAPipe.begin() + from)) << c.what;
            std::copy(c.input.begin() + from, c.input.begin() + to, onAPipe.begin() + from);
        }
        EXPECT_EQ(piped.outputBytes, onAPipe) << c.what;
        if (!c.placeholders.empty()) {  // into a file a stream's output gets the same true sizes
            pipes.pipes = false;
            args.insert(args.end(), {"-o", "s.wav", "-f"});
            EXPECT_EQ(runTwoband(dir.path(), args, pipes).status, 0) << c.what;
            EXPECT_EQ(readFile(dir / "s.wav"), readFile(dir / "Cin.wav")) << c.what;
        }
        if (c.input.size() == music.size() && !c.placeholders.empty()) {  // the true sizes are the canonical file's
            EXPECT_TRUE(std::equal(music.begin(), music.begin() + 44, readFile(dir / "Cin.wav").begin())) << c.what;
        }
        std::string transcript = file.output + file.errors;
        for (std::size_t at; (at = transcript.find("in.wav")) != std::string::npos;) transcript.replace(at, 6, "standard input");
        // How to convert a stream is told as a pipe.
        const std::size_t hint = transcript.find("; convert it first");
        if (hint != std::string::npos) {
            transcript.replace(hint, transcript.size() - 1 - hint, "; convert it first, in a pipe: ffmpeg -i - -f wav - | twoband -");
        }
        EXPECT_EQ(piped.errors, transcript) << c.what;
    }
}

TEST_F(EndToEnd, AReaderOfTheAudioThatGoesAwayEndsTheRunWithoutAWord) {
    if (testingOtherBuild() && !testingWindowsBuild()) GTEST_SKIP() << "signals a Linux process";
    RunOptions options;
    options.input = asInput(signals::wavFile(signals::musicLike(120 * signals::kSampleRate)));
    BackgroundRun run(dir.path(), {"-"}, options);
    run.closeOutput();  // more than a pipe holds is still to come
    const RunResult result = run.finish();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors.find("Could not"), std::string::npos) << result.errors;
    EXPECT_EQ(result.errors.find("pipe"), std::string::npos) << result.errors;
    EXPECT_EQ(result.errors.find("Done !"), std::string::npos) << result.errors;
}

TEST_F(EndToEnd, StandardStreamsMeetOtherTools) {
    // What users pipe in and out: ffmpeg and sox, where installed, decoding our output.
    const Bytes music = twoSecondsOfMusic();
    writeFile(dir / "x.wav", music);
    ASSERT_EQ(runTwoband(dir.path(), {"x.wav"}).status, 0);
    const Bytes output = readFile(dir / "Cx.wav");
    const Bytes expected(output.begin() + 44, output.end());
    const std::pair<const char*, std::string> pipelines[] = {
        {"ffmpeg", "ffmpeg -v error -i x.wav -c:a flac -f flac - | ffmpeg -v error -i - -f wav - | \"$@\" - 2>/dev/null | "
                   "ffmpeg -v error -f wav -i - -f s16le -"},
        {"sox", "sox x.wav -t wav - | \"$@\" - 2>/dev/null | sox -t wav - -t raw -"},
    };
    for (const auto& [tool, pipeline] : pipelines) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0) continue;
        RunOptions shell;
        shell.launcher = {"sh", "-c", pipeline, "sh"};
        const RunResult run = runTwoband(dir.path(), {}, shell);
        EXPECT_EQ(run.status, 0) << tool << run.errors;
        EXPECT_TRUE(run.outputBytes == expected) << tool << ": " << run.outputBytes.size() << " bytes";
    }
}

TEST_F(EndToEnd, OutputsGoWhereTheOptionsSay) {
    const Bytes x = twoSecondsOfMusic();
    const Bytes y = signals::wavFile(signals::loudBursts(signals::kSampleRate));
    const bool native = !testingOtherBuild();
    const std::string done = "Processing...\n\n..\nUpdating file...\nDone !\n";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string transcript;  // after the settings; not checked when empty
        std::string errors;
        Files after;
        std::string input = {};  // standard input, when it is read
        bool outputIsAudio = false;
        bool nativeOnly = false;
        std::string shell = {};  // the run's command line in sh, "$@" standing for twoband and its arguments
    };
    const std::string ontoItself = "standard output: is x.wav itself; nothing written (the output would destroy its input)";
    const Case cases[] = {
        {"-o names the output", {"x.wav", "-o", "out/x.wav"}, 0, done, "", {{"out/x.wav", compressed(x)}, {"Cx.wav", std::nullopt}}},
        {"--output= as well, before the name", {"--output=out/x.wav", "x.wav"}, 0, done, "", {{"out/x.wav", compressed(x)}}},
        {"-o - is standard output", {"x.wav", "-o", "-"}, 0, "", "", {{"Cx.wav", std::nullopt}}, "", true},
        {"-c as well", {"-c", "x.wav", "30", "4", "3"}, 0, "", "", {{"Cx.wav", std::nullopt}}, "", true},
        {"standard input into -o FILE", {"-", "-o", "out/s.wav"}, 0, done, "", {{"out/s.wav", compressed(x)}}, asInput(x)},
        {"/dev/fd/0 is standard input", {"/dev/fd/0", "-o", "out/s.wav"}, 0, done, "", {{"out/s.wav", compressed(x)}},
         asInput(x)},
        {"standard output appended to the input is refused", {"-c", "x.wav"}, 1, "", ontoItself, {{"x.wav", x}}, "", false,
         true, "\"$@\" >> x.wav"},
        {"so is standard output opened on the input", {"-o", "-", "x.wav"}, 1, "", ontoItself, {{"x.wav", x}}, "", false,
         true, "\"$@\" 1<>x.wav"},
        {"and one through a link", {"-c", "x.wav"}, 1, "", ontoItself, {{"x.wav", x}}, "", false, true,
         "\"$@\" >> link.wav"},
        {"an output of standard input replaces a file only with --force", {"-", "-o", "x.wav"}, 1,
         "Processing...\n\n.\nUpdating file...\nCould not overwrite x.wav !\n",
         "x.wav: exists; an output of standard input replaces a file only with --force", {{"x.wav", x}}, asInput(y)},
        {"-d takes every output under its input's name", {"x.wav", "sub/y.wav", "-d", "out"}, 0, "", "",
         {{"out/x.wav", compressed(x)}, {"out/y.wav", compressed(y)}, {"Cx.wav", std::nullopt}}},
        {"a second output on one name is refused", {"-d", "out", "x.wav", "sub/x.wav"}, 1, "",
         "out/x.wav: is the output of x.wav in this run; not written twice", {{"out/x.wav", compressed(x)}}},
        {"an output that is its input is refused", {"-d", ".", "x.wav"}, 1, "Could not overwrite ./x.wav !\n",
         "./x.wav: is the input itself; not replaced", {{"x.wav", x}}},
        {"so is one through a link", {"x.wav", "-o", "link.wav"}, 1, "Could not overwrite link.wav !\n",
         "link.wav: is the input itself; not replaced", {{"x.wav", x}}, "", false, true},
        {"a missing output folder", {"-d", "nowhere", "x.wav"}, 1, "",
         "nowhere: no such folder; --output-dir names a folder that exists", {{"nowhere/x.wav", std::nullopt}}},
        {"-q: nothing on standard output", {"-q", "x.wav", "sub/y.wav"}, 0, "", "",
         {{"Cx.wav", compressed(x)}, {"sub/Cy.wav", compressed(y)}}},
        {"-q: a failure still says why", {"x.wav", "typo.wav", "sub/y.wav", "--quiet"}, 1, "",
         "typo.wav: No such file or directory", {{"Cx.wav", compressed(x)}, {"sub/Cy.wav", compressed(y)}}},
    };
    int number = 0;
    for (const Case& c : cases) {
        if (c.nativeOnly && !native) continue;
        const fs::path folder = dir / std::to_string(++number);
        fs::create_directories(folder / "out");
        fs::create_directories(folder / "sub");
        writeFile(folder / "x.wav", x);
        writeFile(folder / "sub" / "y.wav", y);
        writeFile(folder / "sub" / "x.wav", x);
        fs::create_symlink("x.wav", folder / "link.wav");
        RunOptions options;
        options.input = c.input;
        options.pipes = !c.input.empty();
        if (!c.shell.empty()) options.launcher = {"sh", "-c", c.shell, "sh"};
        const RunResult run = runTwoband(folder, c.args, options);
        if (!c.shell.empty()) {
            EXPECT_EQ(run.status, c.status) << c.what;
            EXPECT_TRUE(run.errors.ends_with("Could not overwrite standard output !\ntwoband: " + c.errors + "\n"))
                << c.what << ": " << run.errors;
            expectFiles(folder, c.after, c.what);
            continue;
        }

        EXPECT_EQ(run.status, c.status) << c.what;
        const bool quiet = std::find_if(c.args.begin(), c.args.end(), [](const std::string& a) { return a.starts_with("-q") || a == "--quiet"; }) != c.args.end();
        if (quiet) {
            EXPECT_EQ(run.output, "") << c.what;
        } else if (c.outputIsAudio) {
            EXPECT_EQ(run.outputBytes, compressed(x, c.args.size() > 3 ? Settings{30.0f, 4.0f, 3} : Settings{})) << c.what;
            EXPECT_EQ(run.errors.rfind(kBanner, 0), 0u) << c.what << ": the transcript on standard error";
        } else if (!c.transcript.empty()) {
            EXPECT_EQ(run.output, kBanner + kDefaults + c.transcript) << c.what;
        }
        if (!c.outputIsAudio) expectDiagnostic(run.errors, c.errors);
        expectFiles(folder, c.after, c.what);
    }
}

TEST_F(EndToEnd, AudioIsNeverWrittenToATerminal) {
    if (testingOtherBuild()) GTEST_SKIP() << "a pseudo-terminal is a Linux process's";
    writeFile(dir / "x.wav", twoSecondsOfMusic());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-c", "x.wav"}, {"-"}, {"x.wav", "-o", "-"}}) {
        RunOptions terminal;
        terminal.terminalOutput = true;
        const RunResult run = runTwoband(dir.path(), args, terminal);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.outputBytes, Bytes{}) << args[0];
        EXPECT_EQ(run.errors, "twoband: standard output is a terminal; no audio is written to it (redirect it to a "
                              "file or a pipe, or give -o FILE)\n")
            << args[0];
    }
    // A file run at a terminal, the commonest use, prints its transcript there.
    RunOptions terminal;
    terminal.terminalOutput = true;
    const RunResult plain = runTwoband(dir.path(), {"x.wav"}, terminal);
    EXPECT_EQ(plain.status, 0) << plain.errors;
    EXPECT_NE(plain.output.find("Done !"), std::string::npos) << plain.output;
    EXPECT_EQ(readFile(dir / "Cx.wav"), compressed(twoSecondsOfMusic()));
    // Nor is a terminal read as audio: - with one as standard input is refused at once.
    RunOptions typing;
    typing.terminalInput = true;
    const RunResult waiting = runTwoband(dir.path(), {"-", "-o", "out.wav"}, typing);
    EXPECT_EQ(waiting.status, 1);
    EXPECT_EQ(waiting.errors, "twoband: standard input is a terminal; - reads audio from a pipe or a redirection "
                              "(twoband - < song.wav, or a file name instead of -)\n");
    EXPECT_FALSE(fs::exists(dir / "out.wav"));
}

TEST_F(EndToEnd, RecursiveRunsTakeEveryWavFileOfATree) {
    if (!marksKept()) GTEST_SKIP() << "tells earlier outputs by their marks";
    // Folders in name order, other extensions and any case; hidden files, files of
    // other kinds and the output folder left out; run twice, no CC file.
    const Bytes music = twoSecondsOfMusic();
    for (const char* name : {"Music/b.wav", "Music/a/z.WAV", "Music/a/y.bwf", "Music/c.w64", "Music/d.flac",
                             "Music/.hidden.wav", "Music/.cache/x.wav", "Music/notes.txt"}) {
        fs::create_directories((dir / name).parent_path());
        writeFile(dir / name, music);
    }
    const std::string block = "\nProcessing...\n\n..\nUpdating file...\nDone !\n";
    const RunResult first = runTwoband(dir.path(), {"-r", "Music"});
    EXPECT_EQ(first.status, 0) << first.errors;
    EXPECT_EQ(first.output, kBanner + kDefaults + "[1/5] Music/a/y.bwf" + block + "[2/5] Music/a/z.WAV" + block +
                                "[3/5] Music/b.wav" + block + "[4/5] Music/c.w64" + block + "[5/5] Music/d.flac" + block +
                                "5 files: 5 written, 0 failed\n");
    // A .flac name takes FLAC, whatever the input was (a WAV file here).
    const Bytes flacOutput = readFile(dir / "Music/Cd.flac");
    EXPECT_TRUE(flacOutput.size() > 4 && std::equal(flacOutput.begin(), flacOutput.begin() + 4, "fLaC"));
    const RunResult second = runTwoband(dir.path(), {"Music", "--recursive", "-q"});
    EXPECT_EQ(second.status, 0) << second.errors;
    EXPECT_EQ(second.output, "");
    EXPECT_FALSE(fs::exists(dir / "Music/a/CCy.bwf"));
    EXPECT_EQ(readFile(dir / "Music/a/Cz.WAV"), compressed(music));
    EXPECT_FALSE(fs::exists(dir / "Music/C.hidden.wav"));
    EXPECT_FALSE(fs::exists(dir / "Music/.cache/Cx.wav"));
    EXPECT_FALSE(fs::exists(dir / "Music/Cnotes.txt"));
    // Into an output folder inside the tree, which the walk leaves out (its files
    // would land on themselves): the second pass replaces the first one's outputs.
    for (int pass = 0; pass < 2; ++pass) {
        const RunResult run = runTwoband(dir.path(), {"-r", "-q", "Music", "-d", "Music/a"});
        EXPECT_EQ(run.status, 0) << pass << run.errors;
        EXPECT_EQ(run.errors, "") << pass;
    }
    EXPECT_EQ(readFile(dir / "Music/a/c.w64"), compressed(music));
    EXPECT_EQ(readFile(dir / "Music/a/y.bwf"), music);
    // Into an output folder outside it, the tree is mirrored (Music/a/b.wav, written
    // there above, and Music/b.wav both have their place), folders made as needed; the
    // second pass replaces the first one's outputs.
    fs::create_directory(dir / "Out");
    for (int pass = 0; pass < 2; ++pass) {
        const RunResult run = runTwoband(dir.path(), {"-r", "-q", "Music", "-d", "Out"});
        EXPECT_EQ(run.status, 0) << pass << run.errors;
        EXPECT_EQ(run.errors, "") << pass;
    }
    EXPECT_EQ(readFile(dir / "Out/a/y.bwf"), compressed(music));
    EXPECT_EQ(readFile(dir / "Out/b.wav"), compressed(music));
    EXPECT_EQ(readFile(dir / "Out/a/b.wav"), compressed(compressed(music)));
    // A folder is refused without -r, as before.
    const RunResult folder = runTwoband(dir.path(), {"Music"});
    EXPECT_EQ(folder.status, 1);
}

TEST_F(EndToEnd, WildcardsAreExpandedOnWindows) {
    // Windows shells pass *.wav on as it is; Windows programs expand it themselves.
    if (!testingWindowsBuild()) GTEST_SKIP() << "the shells of other systems expand wildcards";
    const Bytes music = twoSecondsOfMusic();
    writeFile(dir / "a.wav", music);
    writeFile(dir / "b.wav", music);
    const RunResult run = runTwoband(dir.path(), {"*.wav", "z*.wav"});
    EXPECT_EQ(run.status, 1);
    const std::string block = "\nProcessing...\n\n..\nUpdating file...\nDone !\n";
    EXPECT_EQ(run.output, kBanner + kDefaults + "[1/3] a.wav" + block + "[2/3] b.wav" + block +
                              "[3/3] z*.wav\nCould not open z*.wav !\n\n3 files: 2 written, 1 failed\n");
    expectDiagnostic(run.errors, "z*.wav: no file matches this pattern");
    EXPECT_EQ(readFile(dir / "Cb.wav"), compressed(music));
}

TEST_F(EndToEnd, ShortestAcceptedFileIsProcessed) {
    Bytes input = signals::wavFile(signals::musicLike(4989));
    ASSERT_EQ(input.size(), 20000u);
    writeFile(dir / "tiny.wav", input);

    const RunResult run = runTwoband(dir.path(), {"tiny.wav"});

    EXPECT_EQ(run.output, kBanner + kDefaults + "Processing...\n\n\nUpdating file...\nDone !\n");
    EXPECT_EQ(readFile(dir / "Ctiny.wav"), compressed(input));
}

// An RF64 file just past 4 GiB: silence, sparse on the disk, then two seconds of music
// at the very end. The engine's state after a long silence depends only on where the
// holds and the eighth-frame count stand, so a short file with as many silent frames
// modulo 6400 (a multiple of the 50-frame hold and the 8-frame master step) gives the
// expected bytes of the music. Long: run by make check and under Wine.
TEST(EndToEndLong, AnRf64FilePastFourGiBIsCompressedToItsEnd) {
    if (std::getenv("TWOBAND_LONG_TESTS") == nullptr) GTEST_SKIP() << "set TWOBAND_LONG_TESTS";
    const TempDir dir;
    const Bytes music = twoSecondsOfMusic();
    const std::span<const std::uint8_t> window(music.begin() + 44, music.end());
    WavBuilder builder(WavForm::rf64);
    builder.format(1, 2, 16);
    const std::uint64_t begin = builder.nextPayload();
    const std::uint64_t frames = ((std::uint64_t{1} << 32) + (1 << 20)) / 4;
    const std::uint64_t length = begin + 4 * frames;
    const std::uint64_t silentFrames = frames - window.size() / 4;
    Bytes header = builder.chunk("data", Bytes(8)).bytes();  // sizes fixed below
    header.resize(begin);
    for (int i = 0; i < 8; ++i) {
        header[20 + i] = static_cast<std::uint8_t>((length - 8) >> (8 * i));
        header[28 + i] = static_cast<std::uint8_t>((4 * frames) >> (8 * i));
    }
    {
        std::ofstream out(dir / "big.wav", std::ios::binary);
        out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
        out.seekp(static_cast<std::streamoff>(length - window.size()));
        out.write(reinterpret_cast<const char*>(window.data()), static_cast<std::streamsize>(window.size()));
        ASSERT_TRUE(out) << "cannot write the sparse file";
    }
    ASSERT_EQ(fs::file_size(dir / "big.wav"), length);

    RunOptions options;
    options.longestRun = std::chrono::minutes(15);  // 4 GiB through the engine
    const RunResult run = runTwoband(dir.path(), {"big.wav"}, options);

    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    ASSERT_EQ(fs::file_size(dir / "Cbig.wav"), length);
    Bytes tail(window.size());
    std::ifstream in(dir / "Cbig.wav", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(length - tail.size()));
    in.read(reinterpret_cast<char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(in);

    Bytes expected = framesFile({});
    expected.resize(44 + 4 * (100 * 6400 + silentFrames % 6400), 0);
    expected.insert(expected.end(), window.begin(), window.end());
    compressInMemory(expected);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), expected.end() - static_cast<std::ptrdiff_t>(tail.size())));
    EXPECT_FALSE(std::equal(tail.begin(), tail.end(), window.begin())) << "the music was compressed";
}

// Golden outputs of a 12-second mix of music, full-scale bursts, silence and noise,
// and of 4 seconds of bursts and sweeps that keep the limiter busy. The values were
// recorded once, after the outputs had been checked against an independent
// step-by-step computation of the compressor; they guard against regressions. The
// last two changed when output samples stopped wrapping: those inputs drive band sums
// past the 16-bit range, which now saturate.
#ifdef TWOBAND_HAVE_EBUR128
// The loudness and true peak of a WAV file's samples (from `begin`), as libebur128
// measures them, in LUFS and dBTP.
struct Measured {
    double loudness;
    double peak;
};
Measured measuredLoudness(const Bytes& file, std::size_t begin, unsigned channels, unsigned rate) {
    std::vector<std::int16_t> samples((file.size() - begin) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(file[begin + 2 * i] | file[begin + 2 * i + 1] << 8);
    }
    ebur128_state* state = ebur128_init(channels, rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / channels);
    double loudness = 0.0;
    double peak = 0.0;
    ebur128_loudness_global(state, &loudness);
    for (unsigned c = 0; c < channels; ++c) {
        double each = 0.0;
        ebur128_true_peak(state, c, &each);
        peak = std::max(peak, each);
    }
    ebur128_destroy(&state);
    return {loudness, 20.0 * std::log10(peak)};
}

TEST_F(EndToEnd, DeliveryBringsEachFileToItsTargetUnderItsCeiling) {
    constexpr std::size_t kFrames = 3 * signals::kSampleRate;
    struct Target {
        const char* option;
        std::optional<double> loudness;
        double ceiling;
    };
    const Target targets[] = {{"--target=podcast", -16.0, -1.0}, {"--target=r128", -23.0, -1.0},
                              {"--target=streaming", -14.0, -1.0}, {"--true-peak=-2", std::nullopt, -2.0}};
    std::size_t rows = 0;
    for (const char* material : {"music", "bursts", "mixed"}) {
        const signals::Samples stereo = signals::byName(material, kFrames);
        for (const unsigned rate : {44100u, 48000u, 96000u}) {
            for (const unsigned channels : {1u, 2u}) {
                Bytes data;
                for (std::size_t i = 0; i < stereo.size(); i += 2 / channels) {
                    const auto bits = static_cast<std::uint16_t>(stereo[i]);
                    data.insert(data.end(), {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)});
                }
                WavBuilder builder;
                builder.format(1, static_cast<std::uint16_t>(channels), 16);
                const std::size_t begin = builder.nextPayload();
                Bytes input = builder.chunk("data", data).bytes();
                for (int b = 0; b < 4; ++b) {
                    input[24 + b] = static_cast<std::uint8_t>(rate >> (8 * b));
                    input[28 + b] = static_cast<std::uint8_t>(rate * 2 * channels >> (8 * b));
                }
                writeFile(dir / "in.wav", input);
                {
                    const Target& target = targets[rows++ % std::size(targets)];  // each target in turn
                    const std::string row = std::string(material) + ", " + std::to_string(rate) + " Hz, " +
                                            std::to_string(channels) + " channel(s), " + target.option;
                    const RunResult run =
                        runTwoband(dir.path(), {target.option, "--report=report.json", "-f", "in.wav"});
                    ASSERT_EQ(run.status, 0) << row << run.errors;
                    const Bytes output = readFile(dir / "Cin.wav");
                    ASSERT_EQ(output.size(), input.size()) << row;
                    EXPECT_TRUE(std::equal(input.begin(), input.begin() + begin, output.begin())) << row;
                    const auto [loudness, peak] = measuredLoudness(output, begin, channels, rate);
                    EXPECT_LE(peak, target.ceiling) << row;
                    const Bytes report = readFile(dir / "report.json");
                    const std::string record(report.begin(), report.end());
                    if (!target.loudness) continue;  // the ceiling alone
                    // Within half an LU; a gain that boosts may be held back by the
                    // ceiling, and then the line and the report say by how much.
                    const bool lowered = record.find("\"gain\":-") != std::string::npos;
                    if (lowered || record.find("\"targetReached\":true") != std::string::npos) {
                        EXPECT_NEAR(loudness, *target.loudness, 0.5) << row;
                    } else {
                        EXPECT_NE(run.output.find(" missed by "), std::string::npos) << row;
                        EXPECT_LT(loudness, *target.loudness) << row;
                    }
                }
            }
        }
    }
}

TEST_F(EndToEnd, DeliveryFiguresOnTheTranscriptAndInTheReport) {
    writeFile(dir / "a.wav", twoSecondsOfMusic());
    writeFile(dir / "quiet.wav", signals::wavFile(signals::silence(2 * signals::kSampleRate)));
    const std::string measured = "Loudness -10.1 LUFS, range 0.0 LU, true peak +0.1 dBTP";
    struct Case {
        std::vector<std::string> args;
        std::string line;  // between the dots and "Updating file..."
        std::string record;
    };
    const Case cases[] = {
        {{"--measure", "a.wav"}, measured + "\n", ""},
        {{"--target=podcast", "a.wav"}, measured + "; delivered -16.0 LUFS, range 0.0 LU, true peak -5.9 dBTP\n", ""},
        {{"--target=podcast", "quiet.wav"},
         "Loudness -inf LUFS, range 0.0 LU, true peak -inf dBTP; delivered -inf LUFS, range 0.0 LU, true peak -inf "
         "dBTP (silent: no gain)\n",
         ""},
        {{"--loudness=-3", "--report=r.json", "a.wav"},
         measured + "; delivered -7.3 LUFS, range 0.0 LU, true peak -1.2 dBTP (target -3.0 LUFS missed by 4.3 LU: "
                    "the -1.0 dBTP ceiling holds it back)\n",
         "{\"file\":\"a.wav\",\"output\":\"Ca.wav\",\"target\":{\"loudness\":-3.00,\"truePeak\":-1.00},"
         "\"before\":{\"integrated\":-10.05,\"range\":0.00,\"truePeak\":0.08},\"after\":{\"integrated\":-7.26,"
         "\"range\":0.00,\"truePeak\":-1.17},\"gain\":7.05,\"limiter\":{\"frames\":76991,\"of\":88200,"
         "\"deepest\":-8.31},\"targetReached\":false,\"missedBy\":4.26}\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (!marksKept()) args.insert(args.begin(), "-f");  // no mark proves the last row's output and report
        const RunResult run = runTwoband(dir.path(), args);
        const std::string name = c.args.back();
        EXPECT_EQ(run.status, 0) << c.args[0];
        EXPECT_EQ(run.output, kBanner + kDefaults + "Processing...\n\n..\n" + c.line + "Updating file...\nDone !\n")
            << c.args[0] << " " << name;
        if (!c.record.empty()) {
            const Bytes report = readFile(dir / "r.json");
            EXPECT_EQ(std::string(report.begin(), report.end()), c.record);
        }
        EXPECT_EQ(runTwoband(dir.path(), {"-q", c.args[0], name}).output, "") << "-q";
    }
    // Standard input, spooled for the second pass, and standard output: a file run's bytes.
    ASSERT_EQ(runTwoband(dir.path(), {"-q", "-f", "--target=streaming", "a.wav"}).status, 0);
    const RunResult piped = runTwoband(dir.path(), {"-q", "--target=streaming", "-"},
                                       {.input = asInput(readFile(dir / "a.wav")), .pipes = true});
    EXPECT_EQ(piped.status, 0) << piped.errors;
    EXPECT_TRUE(piped.outputBytes == readFile(dir / "Ca.wav"));
    // A report replaces only an earlier report.
    writeFile(dir / "notes.txt", Bytes{'h', 'i'});
    const RunResult refused = runTwoband(dir.path(), {"--measure", "--report=notes.txt", "a.wav"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(readFile(dir / "notes.txt"), (Bytes{'h', 'i'}));
    expectDiagnostic(refused.errors, marksKept() ? "notes.txt: exists and is not an earlier report; not replaced "
                                                   "(--force replaces it)"
                                                 : "notes.txt: exists, and this file system keeps no marks to prove "
                                                   "it an earlier report; not replaced (--force replaces it)");
    // A file that only reads like a report is the user's too: its mark, not its bytes, proves one.
    const Bytes lookalike = readFile(dir / "r.json");
    writeFile(dir / "mine.json", lookalike);
    EXPECT_EQ(runTwoband(dir.path(), {"--measure", "--report=mine.json", "a.wav"}).status, 1);
    EXPECT_TRUE(readFile(dir / "mine.json") == lookalike);
}
#endif

TEST_F(EndToEnd, GoldenOutputs) {
    writeFile(dir / "mix.wav", signals::wavFile(signals::mixed(12 * signals::kSampleRate)));
    writeFile(dir / "loud.wav", signals::wavFile(signals::loudBursts(4 * signals::kSampleRate)));
    struct Case {
        std::vector<std::string> args;
        std::uint64_t checksum;
        std::string output = {};  // "C" and the first argument when empty
    };
    const Case cases[] = {
        {{"mix.wav"}, 0x742a5e387dbedcd3ull},
        {{"mix.wav", "60", "3", "4"}, 0xf10382ff7a1f8cd4ull},
        {{"loud.wav"}, 0x67d1c88951f1d700ull},
        // The delivery stage: the same bytes on every machine.
        {{"--target=podcast", "mix.wav"}, 0xbf822863e3bddae5ull, "Cmix.wav"},
        {{"--true-peak=-3", "loud.wav"}, 0x8837c501154685b0ull, "Cloud.wav"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("-f");  // the last row's output replaced, marks or not
        runTwoband(dir.path(), args);
        const Bytes output = readFile(dir / (c.output.empty() ? "C" + c.args[0] : c.output));
        EXPECT_EQ(fnv1a(output), c.checksum) << c.args[0] << ", " << c.args.size() << " arguments";
    }
}

}  // namespace
}  // namespace twoband
