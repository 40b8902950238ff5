#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/engine_state.hpp"
#include "engine/gain_control.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using testing_support::Bytes;
using testing_support::framesFile;

std::string runEngine(Bytes& bytes) { return testing_support::compressInMemory(bytes); }

TEST(BandSplit, FirstFrameOfAConstantSignal) {
    EngineState state;
    const std::int16_t highL = splitBands(state.lowL, 1000);
    const std::int16_t highR = splitBands(state.lowR, -1000);
    EXPECT_EQ(state.lowL, 13);
    EXPECT_EQ(state.lowR, -13);  // truncation toward zero
    EXPECT_EQ(highL, 987);
    EXPECT_EQ(highR, -987);

    const BandProducts bands = bandProducts(state, highL, highR);
    EXPECT_EQ(bands.bandHL, 394);
    EXPECT_EQ(bands.bandHR, -394);
    EXPECT_EQ(bands.bandLL, 7);
    EXPECT_EQ(bands.bandLR, -7);

    EngineState fresh;
    const StereoFrame out = processFrame(fresh, makeGainRules({}), {1000, -1000});
    EXPECT_EQ(out.left, 401);
    EXPECT_EQ(out.right, -401);
}

TEST(BandSplit, LowPassDeadBand) {
    struct Case {
        std::int16_t low, in, newLow;
    };
    // The step truncates to 0 within 76 of the state; 77 still moves it by one.
    const Case cases[] = {{0, 76, 0},          {0, 77, 1},         {0, -76, 0},
                          {0, -77, -1},        {924, 1000, 924},   {923, 1000, 924},
                          {-32768, -32768, -32768}, {100, 176, 100}};
    for (const Case& c : cases) {
        std::int16_t low = c.low;
        const std::int16_t high = splitBands(low, c.in);
        EXPECT_EQ(low, c.newLow) << "low " << c.low << " in " << c.in;
        EXPECT_EQ(high, static_cast<std::int16_t>(c.in - c.newLow));
    }
}

TEST(BandSplit, FullScaleStepWrapsTheHighBand) {
    std::int16_t low = -32768;
    const std::int16_t high = splitBands(low, 32767);
    // 65535 × 0.013 truncates to 851; 32767 − (−31917) = 64684 does not fit and wraps.
    EXPECT_EQ(low, -31917);
    EXPECT_EQ(high, 64684 - 65536);
}

TEST(BandSplit, ConstantInputSettlesAt76FromTheLowBand) {
    EngineState state;
    std::int16_t highL = 0;
    std::int16_t highR = 0;
    for (int i = 0; i < 2000; ++i) {
        highL = splitBands(state.lowL, 1000);
        highR = splitBands(state.lowR, -1000);
    }
    EXPECT_EQ(state.lowL, 924);
    EXPECT_EQ(state.lowR, -924);
    EXPECT_EQ(highL, 76);
    EXPECT_EQ(highR, -76);
}

TEST(FrameLoop, SilenceStaysSilent) {
    Bytes bytes = framesFile(std::vector<std::pair<std::int16_t, std::int16_t>>(20000, {0, 0}));
    const Bytes before = bytes;
    runEngine(bytes);
    EXPECT_EQ(bytes, before);
}

TEST(FrameLoop, EveryWholeFrameIsProcessedAndTheRestIsUntouched) {
    // Frames that change from one to the next, so a skipped or repeated frame shows.
    std::vector<std::pair<std::int16_t, std::int16_t>> frames;
    for (int i = 0; i < 4989; ++i) {
        frames.emplace_back(static_cast<std::int16_t>((i * 7919) % 30000 - 15000),
                            static_cast<std::int16_t>((i * 104729) % 50000 - 25000));
    }
    const Bytes input = framesFile(frames);
    ASSERT_EQ(input.size(), 20000u);

    Bytes expected = input;
    EngineState state;
    const GainRules rules = makeGainRules({});
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const StereoFrame out = processFrame(state, rules, {frames[i].first, frames[i].second});
        for (int k = 0; k < 2; ++k) {
            const auto bits = static_cast<std::uint16_t>(k == 0 ? out.left : out.right);
            expected[44 + 4 * i + 2 * k] = static_cast<std::uint8_t>(bits & 0xFF);
            expected[44 + 4 * i + 2 * k + 1] = static_cast<std::uint8_t>(bits >> 8);
        }
    }

    for (std::size_t extra = 0; extra < 4; ++extra) {
        Bytes bytes = input;
        for (std::size_t k = 0; k < extra; ++k) bytes.push_back(static_cast<std::uint8_t>(0xF0 + k));
        runEngine(bytes);
        ASSERT_EQ(bytes.size(), input.size() + extra);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin())) << extra;
        for (std::size_t k = 0; k < extra; ++k) {
            EXPECT_EQ(bytes[input.size() + k], 0xF0 + k) << "trailing byte " << k;
        }
    }
}

TEST(FrameLoop, ProgressDotsFollowTheOffsets) {
    struct Case {
        std::size_t length;
        std::string output;
    };
    const std::string line(80, '.');
    const Case cases[] = {
        {20000, "\n"},
        {131072, "\n"},
        {131073, ".\n"},  // a partial frame starts at 131072 and still gets its dot
        {131076, ".\n"},
        {3 * 131072 + 4, "...\n"},
        {80 * 131072, std::string(79, '.') + "\n"},
        {80 * 131072 + 1, line + "\n\n"},  // a full line ends with its own line break
        {81 * 131072 + 4, line + "\n.\n"},
    };
    for (const Case& c : cases) {
        Bytes bytes(c.length, 0);
        EXPECT_EQ(runEngine(bytes), c.output) << "length " << c.length;
    }
}

}  // namespace
}  // namespace twoband
