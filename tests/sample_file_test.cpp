#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>

#include "files/sample_file.hpp"
#include "signals.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using namespace testing_support;

TEST(OutputName, PutsACInFrontOfTheFileNamePart) {
    const std::string longFolder(300, 'd');
    const std::pair<std::string, std::string> cases[] = {
        {"song.wav", "Csong.wav"},   {"dir\\song.wav", "dir\\Csong.wav"},
        {"a/b\\c.wav", "a/b\\Cc.wav"}, {"a\\b/c.wav", "a\\b/Cc.wav"},
        {"x/", "x/C"},               {"/x.wav", "/Cx.wav"},
        {"C:song.wav", "CC:song.wav"}, {"../up.wav", "../Cup.wav"},
        {"", "C"},                   {"Café/日本.wav", "Café/C日本.wav"},
        {longFolder + "/" + std::string(200, 'n'), longFolder + "/C" + std::string(200, 'n')},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(deriveOutputName(input), expected) << input;
    }
}

struct FileRun {
    bool written = false;
    std::string out;
    std::string errors;
};

// Runs `step` with a console whose two streams are captured.
FileRun captureRun(const std::function<bool(Console&)>& step) {
    CapturedConsole console;
    const bool written = step(console);
    return {written, console.output, console.errors};
}

TEST(SampleFile, RefusesWhatCannotBeCompressed) {
    constexpr std::uint64_t kGiB4 = std::uint64_t{1} << 32;
    const DeclaredFormat pcm{1, 2, 4, 16, true, true};
    struct Case {
        std::uint64_t length;
        Container container;
        std::optional<DeclaredFormat> format;
        std::string reason;  // empty when the file is compressed
    };
    const Case cases[] = {
        {kGiB4 - 1, Container::riff, pcm, ""},
        {kGiB4, Container::riff, pcm, "4294967296 bytes; only RF64, BW64 and Wave64 files may be 4 GiB or longer"},
        {5 * kGiB4, Container::rf64, pcm, ""},
        {5 * kGiB4, Container::wave64, pcm, ""},
    };
    for (const Case& c : cases) {
        const WavLayout layout{c.container, {44, c.length}, c.format, ""};
        const std::optional<Refusal> refusal = refusalOf("x.wav", c.length, layout);
        EXPECT_EQ(refusal ? refusal->reason : "", c.reason) << c.length;
    }
}

TEST(SampleFile, BlocksOfAnySizeGiveTheBytesOfAWholeFileRun) {
    const TempDir dir;
    // Samples from byte 78 (not a multiple of 4) that end in a partial frame, then tags;
    // three dots.
    Bytes samples = signals::wavFile(signals::musicLike(100000));
    samples.erase(samples.begin(), samples.begin() + 44);
    samples.push_back(0x5A);
    WavBuilder builder;
    builder.format(1, 2, 16).chunk("LIST", Bytes(25, 'x'));
    const SampleRange range{builder.nextPayload(), builder.nextPayload() + samples.size()};
    const Bytes input = builder.chunk("data", samples).chunk("id3 ", Bytes(301, 0x7E)).bytes();
    writeFile(dir / "song.wav", input);
    Bytes expected = input;
    const std::string dots = compressInMemory(expected, {}, bestFrameKernel(), range);
    ASSERT_EQ(dots, "...\n");

    for (const std::size_t blockBytes : {std::size_t{4}, std::size_t{12}, std::size_t{1000},
                                         kDotInterval, kDotInterval + 4, kBlockBytes}) {
        const FileRun run = captureRun([&](Console& console) {
            return runSampleFile((dir / "song.wav").string(), {}, {}, console, blockBytes);
        });
        EXPECT_TRUE(run.written) << blockBytes;
        EXPECT_EQ(run.out, "Processing...\n\n" + dots + "Updating file...\nDone !\n") << blockBytes;
        EXPECT_EQ(readFile(dir / "Csong.wav"), expected) << blockBytes;
    }
}

TEST(SampleFile, AReadThatComesUpShortIsReportedAndNothingIsWritten) {
    const TempDir dir;
    const Bytes input = signals::wavFile(signals::musicLike(100000));
    const std::filesystem::path name = dir / "song.wav";
    writeFile(name, input);
    std::error_code error;
    // The file holds less than was measured, as if it shrank during the run.
    InputFile shrunk{SystemFile::openForReading(name.string(), error), input.size() + 300000, 0644};

    const FileRun run = captureRun(
        [&](Console& console) { return compressInput(shrunk, name.string(), {deriveOutputName(name.string())}, {}, {}, console); });

    EXPECT_FALSE(run.written);
    // Two blocks passed two dots before the third read came up short.
    EXPECT_EQ(run.out, "Processing...\n\n..\nCould not read " + name.string() + " !\n");
    EXPECT_EQ(run.errors, "twoband: " + name.string() + ": the file ended early\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "only the input is left";
    EXPECT_EQ(readFile(name), input);
}

}  // namespace
}  // namespace twoband
