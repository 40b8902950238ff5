#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/gain_control.hpp"
#include "engine/limiter.hpp"

namespace twoband {
namespace {

TEST(Limiter, OverloadsClipAndSetTheMasterGainFromTheirSize) {
    struct Case {
        std::int32_t high, low;  // products before the 16-bit store; s in the comment
        std::int16_t sample;
        float masterGain;  // what an overload leaves; 0.5 means untouched
    };
    const Case cases[] = {
        {16384, 16384, 32767, 0.9985399842262268f},    // s = 2048, one step over
        {16800, 16800, 32767, 0.9226199984550476f},    // s = 2100
        {21312, 21296, 32767, 0.1006399393081665f},    // s = 2663
        {21312, 21312, 32767, 0.1f},                   // s = 2664, floored
        {32767, 32767, 32767, 0.1f},                   // s = 4094
        {-16400, -16384, -32768, 0.9985399842262268f}, // s = −2049
        {-21328, -21312, -32768, 0.1f},                // s = −2665, floored
        {-17, -17, -34, 0.5f},
        {1000, -32768, -31768, 0.5f},
    };
    for (const Case& c : cases) {
        float masterGain = 0.5f;
        EXPECT_EQ(limitChannel(masterGain, c.high, c.low), c.sample) << c.high << " " << c.low;
        EXPECT_EQ(masterGain, c.masterGain) << c.high << " " << c.low;
    }
}

TEST(Limiter, OutputSaturatesWhereTheSixteenBitValuesWouldWrap) {
    // The overload test and the master gain see the products as stored in 16 bits
    // (p, q); the output sample is the true sum, saturated. These all wrapped once.
    struct Case {
        const char* what;
        std::int32_t high, low;
        std::int16_t sample;
        float masterGain;  // 0.5 means untouched
    };
    const Case cases[] = {
        {"sum 32782 passes the test", 16383, 16399, 32767, 0.5f},
        {"sum -32798 passes the test", -16399, -16399, -32768, 0.5f},
        {"product wraps, true sum in range", 40000, -20000, 20000, 0.1f},  // p = -25536: s = -2846
        {"product wraps, true sum beyond", 65636, 50, 32767, 0.5f},      // p = 100: s = 9
        {"product wraps below", -65636, -50, -32768, 0.5f},
        {"no wrap", 20000, -5000, 15000, 0.5f},
    };
    for (const Case& c : cases) {
        float masterGain = 0.5f;
        EXPECT_EQ(limitChannel(masterGain, c.high, c.low), c.sample) << c.what;
        EXPECT_EQ(masterGain, c.masterGain) << c.what;
    }
}

TEST(Limiter, AnOverloadReplacesALowerMasterGain) {
    float masterGain = 0.2f;
    limitChannel(masterGain, 16384, 16384);
    EXPECT_EQ(masterGain, 0.9985399842262268f);
}

TEST(Limiter, TheRightChannelsOverloadWins) {
    EngineState state;
    const StereoFrame out = limitOutput(state, {21312, 16384, 21312, 16384});
    EXPECT_EQ(out.left, 32767);
    EXPECT_EQ(out.right, 32767);
    EXPECT_EQ(state.masterGain, 0.9985399842262268f);  // the right channel's s = 2048

    EngineState quietRight;
    limitOutput(quietRight, {16384, 0, 16384, 0});
    EXPECT_EQ(quietRight.masterGain, 0.9985399842262268f);  // the left one stays
}

TEST(Limiter, MasterGainRecoversEveryEighthFrameWithoutUpperClamp) {
    EngineState state;
    state.masterGain = kMinMasterGain;
    int steps = 0;
    for (int frame = 1; frame <= 1000; ++frame) {
        const float before = state.masterGain;
        recoverMasterGain(state);
        if (state.masterGain != before) {
            ASSERT_EQ(frame % 8, 0) << frame;
            ++steps;
        }
    }
    EXPECT_EQ(steps, 48);  // 384 frames
    char text[32];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(state.masterGain));
    EXPECT_EQ(std::string(text), "1.040127");

    EngineState nearOne;
    nearOne.masterGain = 0.99f;
    for (int frame = 0; frame < 16; ++frame) recoverMasterGain(nearOne);
    EXPECT_EQ(nearOne.masterGain, 1.0394999980926514f);  // one step, then it stays
}

TEST(Limiter, OverloadsDoNotResetTheRecoveryCount) {
    EngineState state;
    for (int frame = 1; frame <= 5; ++frame) limitOutput(state, {0, 0, 0, 0});
    limitOutput(state, {32767, 0, 32767, 0});  // frame 6 overloads: floor 0.1
    ASSERT_EQ(state.masterGain, kMinMasterGain);
    limitOutput(state, {0, 0, 0, 0});  // frame 7
    EXPECT_EQ(state.masterGain, kMinMasterGain);
    limitOutput(state, {0, 0, 0, 0});  // frame 8 of the pass recovers
    EXPECT_EQ(state.masterGain, static_cast<float>(0.1f * 1.05));
}

TEST(Limiter, MasterGainScalesOnlyTheHighBandsOfTheNextFrame) {
    EngineState state;
    state.masterGain = 0.5f;
    const BandProducts bands = bandProducts(state, 1000, -1000);
    state.lowL = 1000;
    state.lowR = -1000;
    const BandProducts withLow = bandProducts(state, 1000, -1000);
    EXPECT_EQ(bands.bandHL, 200);  // 1000 × (0.5 × 0.4)
    EXPECT_EQ(bands.bandHR, -200);
    EXPECT_EQ(withLow.bandLL, 600);  // 1000 × 0.6, no master gain
    EXPECT_EQ(withLow.bandLR, -600);
}

}  // namespace
}  // namespace twoband
