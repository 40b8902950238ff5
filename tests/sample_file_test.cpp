#include <gtest/gtest.h>

#include <string>

#include "sample_file.hpp"
#include "signals.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using namespace testing_support;

std::string outputName(const std::string& input) {
    PathBuffer path{};
    input.copy(path.data(), kMaxNameLength);
    deriveOutputName(path);
    return path.data();
}

TEST(OutputName, PutsACInFrontOfTheFileNamePart) {
    const std::pair<std::string, std::string> cases[] = {
        {"song.wav", "Csong.wav"},   {"dir\\song.wav", "dir\\Csong.wav"},
        {"a/b\\c.wav", "a/b\\Cc.wav"}, {"a\\b/c.wav", "a\\b/Cc.wav"},
        {"x/", "x/C"},               {"/x.wav", "/Cx.wav"},
        {"C:song.wav", "CC:song.wav"}, {"../up.wav", "../Cup.wav"},
        {"", "C"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(outputName(input), expected) << input;
    }
}

TEST(OutputName, LongestNameStillFits) {
    const std::string name = "d/" + std::string(122, 'n');
    ASSERT_EQ(name.size(), kMaxNameLength);
    PathBuffer path{};
    path.fill('\0');
    name.copy(path.data(), name.size());
    deriveOutputName(path);
    EXPECT_EQ(std::string(path.data()), "d/C" + std::string(122, 'n'));
    EXPECT_EQ(path[125], '\0');
}

std::size_t shortRead(std::FILE* file, std::uint8_t* into, std::size_t size) {
    return readBytes(file, into, size - 1);
}

TEST(SampleFile, AShortReadIsReportedAndNothingIsWritten) {
    const TempDir dir;
    const Bytes input = signals::wavFile(signals::musicLike(6000));
    writeFile(dir / "song.wav", input);
    PathBuffer path{};
    (dir / "song.wav").string().copy(path.data(), kMaxNameLength);

    bool written = true;
    const std::string output = captureOutput([&](std::FILE* console) {
        written = runSampleFile(path, {}, console, console, shortRead);
    });

    EXPECT_FALSE(written);
    EXPECT_EQ(output, "Processing...\n\nCould not read " + (dir / "song.wav").string() +
                          " !\ntwoband: " + (dir / "song.wav").string() + ": Input/output error\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "Csong.wav"));
    EXPECT_EQ(readFile(dir / "song.wav"), input);
}

}  // namespace
}  // namespace twoband
