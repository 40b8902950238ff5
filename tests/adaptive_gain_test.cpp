#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/engine_state.hpp"
#include "engine/gain_control.hpp"
#include "engine/meters.hpp"

namespace twoband {
namespace {

TEST(Meters, LevelIsTheMagnitudeOfTheHighByte) {
    const std::pair<std::int16_t, int> cases[] = {
        {0, 0},     {255, 0},     {256, 1},        {-1, 1},      {-256, 1},
        {-257, 2},  {32767, 127}, {-32512, 127},   {-32513, -128}, {-32768, -128},
    };
    for (const auto& [product, level] : cases) {
        EXPECT_EQ(bandLevel(product), level) << product;
    }
}

TEST(Meters, TheMostNegativeLevelNeverRaisesAMeter) {
    std::int8_t left = 0;
    std::int8_t right = 5;
    std::uint8_t hold = 7;
    updateMeterPair(left, right, hold, -32768, -32600);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(right, 5);
    EXPECT_EQ(hold, 8);  // no restart either
}

// The meter readings after each of `frames` frames of silence, but for the given
// peaks: a band product on one channel at one frame.
struct Peak {
    int frame;
    bool right;
    std::int16_t product;
};
std::vector<std::pair<int, int>> meterTimeline(int frames, std::initializer_list<Peak> peaks) {
    std::int8_t left = 0;
    std::int8_t right = 0;
    std::uint8_t hold = 0;
    std::vector<std::pair<int, int>> readings;
    for (int frame = 0; frame < frames; ++frame) {
        std::int16_t bandLeft = 0;
        std::int16_t bandRight = 0;
        for (const Peak& peak : peaks) {
            if (peak.frame == frame) (peak.right ? bandRight : bandLeft) = peak.product;
        }
        updateMeterPair(left, right, hold, bandLeft, bandRight);
        readings.emplace_back(left, right);
    }
    return readings;
}

TEST(Meters, HoldThenDecayOneStepEvery50Frames) {
    const auto readings = meterTimeline(400, {{0, false, 3 * 256}});
    for (int frame = 0; frame <= 48; ++frame) EXPECT_EQ(readings[frame].first, 3) << frame;
    for (int frame = 49; frame <= 98; ++frame) EXPECT_EQ(readings[frame].first, 2) << frame;
    for (int frame = 99; frame <= 148; ++frame) EXPECT_EQ(readings[frame].first, 1) << frame;
    for (int frame = 149; frame < 400; ++frame) EXPECT_EQ(readings[frame].first, 0) << frame;
}

TEST(Meters, APeakInEitherChannelRestartsTheHoldOfBoth) {
    // The right channel peaks 20 frames after the left: the left meter's first decay
    // moves from frame 49 to frame 69.
    const auto readings = meterTimeline(200, {{0, false, 3 * 256}, {20, true, 256}});
    EXPECT_EQ(readings[49].first, 3);
    EXPECT_EQ(readings[68].first, 3);
    EXPECT_EQ(readings[69].first, 2);
    EXPECT_EQ(readings[69].second, 0);
    EXPECT_EQ(readings[119].first, 1);
}

TEST(Meters, FirstFrameOfAConstantSignal) {
    EngineState state;
    processFrame(state, makeGainRules({}), {1000, -1000});
    EXPECT_EQ(state.peakHL, 1);
    EXPECT_EQ(state.peakHR, 2);
    EXPECT_EQ(state.peakLL, 0);
    EXPECT_EQ(state.peakLR, 1);
    EXPECT_EQ(state.holdHigh, 1);
    EXPECT_EQ(state.holdLow, 1);
}

struct GainCase {
    const char* what;
    bool high;
    float gain;
    int peak;
    int hold;
    Settings settings;
    float newGain;
    int newPeak;
};

TEST(GainControl, StepsMatchTheirBinary32Results) {
    const GainCase cases[] = {
        {"fast attack, high", true, 20.0f, 100, 1, {}, 19.350000381469727f, 35},
        {"fast attack, low", false, 20.0f, 100, 1, {}, 19.524999618530273f, 35},
        {"low ignores feedback", false, 20.0f, 100, 1, {20.0f, 8.0f, 4}, 19.524999618530273f, 35},
        {"slow attack, high", true, 1.0f, 40, 1, {}, 0.999750018119812f, 40},
        {"target floor 0.2", true, 0.3f, 60, 1, {}, 0.29500001668930054f, 35},
        {"feedback 1", true, 20.0f, 100, 1, {20.0f, 8.0f, 1}, 19.674999237060547f, 35},
        {"feedback 3", true, 20.0f, 100, 1, {20.0f, 8.0f, 3}, 19.024999618530273f, 35},
        {"feedback 4", true, 20.0f, 100, 1, {20.0f, 8.0f, 4}, 18.700000762939453f, 35},
        {"at target, holding", true, 1.0f, 35, 1, {}, 1.0f, 35},
        {"at target, decay frame", true, 1.0f, 35, 0, {}, 1.0160000324249268f, 35},
        {"at maxGain", true, 20.0f, 0, 0, {}, 20.0f, 0},
        {"recovery, high, speed 1", true, 1.0f, 0, 0, {20.0f, 1.0f, 2}, 1.0019999742507935f, 0},
        {"recovery, low", false, 1.0f, 0, 0, {}, 1.0099999904632568f, 0},
        {"recovery, low, speed 9", false, 1.0f, 0, 0, {20.0f, 9.0f, 2}, 1.0112500190734863f, 0},
        {"below target, holding", false, 1.0f, 10, 3, {}, 1.0f, 10},
    };
    for (const GainCase& c : cases) {
        const GainRules rules = makeGainRules(c.settings);
        float gain = c.gain;
        auto peak = static_cast<std::int8_t>(c.peak);
        updateBandGain(gain, peak, static_cast<std::uint8_t>(c.hold), c.high ? rules.high : rules.low);
        EXPECT_EQ(gain, c.newGain) << c.what;
        EXPECT_EQ(peak, c.newPeak) << c.what;
    }
}

// On silence the meters stay 0 and every target is maxGain. Counts the recoveries
// (one per decay frame) until the gain first reaches maxGain, then lets the slow
// attack pull it back until it stops changing.
struct SilenceRun {
    int recoveries;
    float peakGain;
    float settledGain;
};
SilenceRun onSilence(const BandRule& rule, float gain) {
    std::int8_t peak = 0;
    SilenceRun run{0, 0.0f, 0.0f};
    while (gain < rule.maxGain) {
        updateBandGain(gain, peak, 0, rule);
        ++run.recoveries;
    }
    run.peakGain = gain;
    for (float previous = 0.0f; previous != gain;) {
        previous = gain;
        updateBandGain(gain, peak, 1, rule);
    }
    run.settledGain = gain;
    return run;
}

std::string sixDecimals(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
    return text;
}

TEST(GainControl, GainsRecoverOnSilenceAndSettleJustAboveMaxGain) {
    const GainRules rules = makeGainRules({});
    const SilenceRun high = onSilence(rules.high, kInitialHighGain);
    EXPECT_EQ(high.recoveries, 247);
    EXPECT_NEAR(high.peakGain, 20.17f, 0.01f);
    EXPECT_EQ(sixDecimals(high.settledGain), "20.000477");

    const SilenceRun low = onSilence(rules.low, kInitialLowGain);
    EXPECT_EQ(low.recoveries, 353);
    EXPECT_NEAR(low.peakGain, 20.12f, 0.01f);
    EXPECT_EQ(sixDecimals(low.settledGain), "20.000954");
}

TEST(GainControl, SilentPassRecoversOncePerHoldPeriod) {
    // A whole pass of silence: the high gains recover on frames 50, 100, ...
    EngineState state;
    const GainRules rules = makeGainRules({});
    for (int frame = 1; frame <= 100; ++frame) {
        processFrame(state, rules, {0, 0});
        const float expected = frame < 50 ? kInitialHighGain
                               : frame < 100 ? kInitialHighGain * rules.high.recoveryFactor
                                             : kInitialHighGain * rules.high.recoveryFactor *
                                                   rules.high.recoveryFactor;
        ASSERT_EQ(state.gainHL, expected) << frame;
        ASSERT_EQ(state.gainHR, expected) << frame;
    }
}

}  // namespace
}  // namespace twoband
