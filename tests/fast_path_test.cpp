#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/fast_path.hpp"
#include "engine/gain_control.hpp"
#include "signals.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using testing_support::Bytes;

// The property sweeps run a few million cases in the quick suite; the long suite sets
// TWOBAND_FULL_SWEEPS for ten times as many.
int sweepCases(int quick) { return std::getenv("TWOBAND_FULL_SWEEPS") != nullptr ? 10 * quick : quick; }

TEST(FastPath, IntegerLowPassStepMatchesTheBinary32StepForEveryDifference) {
    for (std::int32_t x = -65535; x <= 65535; ++x) {
        ASSERT_EQ(lowPassStep(x), truncate(static_cast<float>(x) * kLowPassCoefficient)) << x;
    }
}

// The exact slow attack before its final rounding, as the gain control computes it.
double exactBeforeRounding(float gain, std::int32_t peak, float reference, double multiplier) {
    const float target = (gain * reference) / static_cast<float>(peak);
    const auto excess = static_cast<double>(gain - target);
    return static_cast<double>(gain) - (excess * 0.001) * multiplier;
}

// Units in the last place of `value`, a positive binary64.
double ulpsApart(double a, double value) {
    return std::abs(a - value) / (std::nextafter(value, INFINITY) - value);
}

TEST(FastPathSweep, AcceptedPredictionsEqualTheExactStep) {
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> logGain(std::log(0.2), std::log(110.0));
    const int kCases = sweepCases(2'400'000);
    int accepted = 0;
    double worstShare = 0.0;  // largest |exact − predicted| as a share of the bound
    for (int n = 0; n < kCases; ++n) {
        const bool high = (n & 1) == 0;
        const Settings settings{20.0f, 8.0f, 1 + static_cast<std::int32_t>((n >> 1) & 3)};
        const GainRules rules = makeGainRules(settings);
        const BandRule& rule = high ? rules.high : rules.low;
        const BandCharacter& band = high ? kHighBand : kLowBand;
        const std::int32_t lowest = lowestSlowPeak(band);
        const std::int32_t highest = highestSlowPeak(band);
        const auto peak = static_cast<std::int32_t>(lowest + random() % (highest - lowest + 1));
        float gain = static_cast<float>(std::exp(logGain(random)));
        gain = std::max(gain, slowAttackGainFloor(rule.reference, peak));

        const double c = rule.slowRate * rule.attackMultiplier;
        const double factor = slowAttackFactor(c, rule.reference, peak);
        const std::int64_t bound = predictionBound(c);
        const double predicted = static_cast<double>(gain) * factor;
        const double exact = exactBeforeRounding(gain, peak, rule.reference, rule.attackMultiplier);
        const double share = ulpsApart(exact, predicted) / static_cast<double>(bound);
        worstShare = std::max(worstShare, share);
        ASSERT_LE(share, 1.0) << "gain " << gain << " peak " << peak;

        const std::optional<float> prediction = predictSlowAttack(gain, factor, bound);
        if (!prediction) continue;
        ++accepted;
        float stepped = gain;
        auto meter = static_cast<std::int8_t>(peak);
        updateBandGain(stepped, meter, 1, rule);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(*prediction), std::bit_cast<std::uint32_t>(stepped))
            << "gain " << gain << " peak " << peak << " feedback " << settings.feedbackSpeed;
        ASSERT_EQ(meter, peak);
    }
    // Nearly every prediction is provable, and the bound is not wildly loose.
    EXPECT_GT(accepted, kCases / 100 * 97);
    EXPECT_GT(worstShare, 0.5);
    std::printf("accepted %.2f%% of %d predictions; worst error %.3f of the bound\n",
                100.0 * accepted / kCases, kCases, worstShare);
}

TEST(FastPath, GainFloorKeepsEverySlowAttackTargetAboveTheFloor) {
    // At the floor and just above it the target, computed as the gain step computes it,
    // is above 0.2, so the 0.2 floor of the target plays no part; the floor is not far
    // above the least such gain.
    for (const BandCharacter* band : {&kHighBand, &kLowBand}) {
        for (std::int32_t peak = lowestSlowPeak(*band); peak <= highestSlowPeak(*band); ++peak) {
            const float floor = slowAttackGainFloor(band->reference, peak);
            float gain = floor;
            for (int step = 0; step < 64; ++step, gain = std::nextafter(gain, 1.0f)) {
                const float target = (gain * band->reference) / static_cast<float>(peak);
                ASSERT_GT(target, kMinTarget) << "peak " << peak << " gain " << gain;
            }
            const double least = static_cast<double>(kMinTarget) * peak / band->reference;
            EXPECT_LT(floor, least * (1.0 + 0x1p-18)) << "peak " << peak;
        }
    }
}

TEST(FastPathSweep, IdleMetersLeaveEveryGainAlone) {
    // The fast kernel skips the gain step of a band whose meter is at most the idle
    // limit (or 0 with the gain at most maxGain) on frames without recovery.
    std::mt19937_64 random(8);
    std::uniform_real_distribution<double> logGain(std::log(0.2), std::log(110.0));
    for (int n = 0, cases = sweepCases(400'000); n < cases; ++n) {
        const bool high = (n & 1) == 0;
        const GainRules rules = makeGainRules({20.0f, 8.0f, 1 + static_cast<std::int32_t>((n >> 1) & 3)});
        const BandRule& rule = high ? rules.high : rules.low;
        const std::int32_t idleHighest = highestIdlePeak(high ? kHighBand : kLowBand);
        const auto peak = static_cast<std::int8_t>(random() % (idleHighest + 1));
        float gain = static_cast<float>(std::exp(logGain(random)));
        if (peak == 0) gain = std::min(gain, rule.maxGain);
        float stepped = gain;
        std::int8_t meter = peak;
        updateBandGain(stepped, meter, 1, rule);
        ASSERT_EQ(stepped, gain) << "gain " << gain << " peak " << int{peak};
        ASSERT_EQ(meter, peak);
    }
}

struct Kernels {
    Bytes literal;
    Bytes fast;
    std::string literalDots;
    std::string fastDots;
};

Kernels runBoth(const Bytes& input, const Settings& settings) {
    Kernels out{input, input, "", ""};
    out.literalDots = testing_support::compressInMemory(out.literal, settings, processFrames);
    out.fastDots = testing_support::compressInMemory(out.fast, settings, processFramesFast);
    return out;
}

// Every field of the state, gains by their bits.
std::string stateText(const EngineState& s) {
    std::string text;
    for (const float gain : {s.masterGain, s.gainHL, s.gainHR, s.gainLL, s.gainLR}) {
        text += std::to_string(std::bit_cast<std::uint32_t>(gain)) + " ";
    }
    for (const int value : {int{s.lowL}, int{s.lowR}, int{s.peakHL}, int{s.peakHR}, int{s.peakLL},
                            int{s.peakLR}, int{s.holdHigh}, int{s.holdLow}, int{s.frameCount8},
                            int{s.dotCount}}) {
        text += std::to_string(value) + " ";
    }
    return text;
}

class FastPathDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fastPathSupported()) GTEST_SKIP() << "this CPU cannot run the fast kernel";
    }
};

TEST_F(FastPathDifferential, SameBytesForEveryLengthAroundTheEdges) {
    const Bytes source = signals::wavFile(signals::mixed(80000));
    std::vector<std::size_t> lengths;
    for (std::size_t base : {std::size_t{0}, std::size_t{44}, std::size_t{20000},
                             kDotInterval, 2 * kDotInterval, source.size() - 8}) {
        for (std::size_t delta = 0; delta < 9; ++delta) {
            if (base + delta >= 4 && base + delta - 4 <= source.size()) lengths.push_back(base + delta - 4);
        }
    }
    for (const std::size_t length : lengths) {
        const Bytes input(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(length));
        const Kernels run = runBoth(input, {});
        ASSERT_EQ(run.fast, run.literal) << "length " << length;
        ASSERT_EQ(run.fastDots, run.literalDots) << "length " << length;
    }
}

TEST_F(FastPathDifferential, SameBytesForEverySignalAndSettingsCorner) {
    const std::size_t frames = 12 * signals::kSampleRate;
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (const char* kind : {"music", "bursts", "noise", "silence", "mixed"}) {
        inputs.emplace_back(kind, signals::wavFile(signals::byName(kind, frames)));
    }
    // Silence right after full scale leaves every gain to recover from its floor.
    signals::Samples loudThenSilent = signals::loudBursts(signals::kSampleRate / 4);
    loudThenSilent.resize(frames * 2, 0);
    inputs.emplace_back("silence after full scale", signals::wavFile(loudThenSilent));
    // Full-scale white noise keeps the gains near their floors and the limiter busy.
    std::mt19937 random(5);
    signals::Samples white(frames * 2);
    for (std::int16_t& sample : white) sample = static_cast<std::int16_t>(random());
    inputs.emplace_back("full-scale white noise", signals::wavFile(white));

    const Settings corners[] = {
        {},
        {4.0f, 1.0f, 1},
        {4.0f, 9.0f, 4},
        {100.0f, 1.0f, 4},
        {100.0f, 9.0f, 1},
        {57.3f, 2.5f, 3},
        {20.0f, 8.0f, 3},
        {4.000001f, 8.999999f, 2},
    };
    for (const auto& [kind, input] : inputs) {
        for (const Settings& settings : corners) {
            const Kernels run = runBoth(input, settings);
            ASSERT_EQ(run.fast, run.literal)
                << kind << " with " << settings.maxGain << " " << settings.recoverSpeed << " "
                << settings.feedbackSpeed;
        }
    }
}

// Runs `frames` from `start` through both kernels and requires the same bytes and the
// same state; returns the literal kernel's.
std::pair<Bytes, EngineState> runBothFrom(const EngineState& start, const Bytes& frames, const KernelRules& rules,
                                          const std::string& label) {
    Bytes literal = frames;
    Bytes fast = frames;
    EngineState literalState = start;
    EngineState fastState = start;
    processFrames(literalState, rules, literal);
    processFramesFast(fastState, rules, fast);
    EXPECT_EQ(fast, literal) << label << " from " << stateText(start);
    EXPECT_EQ(stateText(fastState), stateText(literalState)) << label << " from " << stateText(start);
    return {literal, literalState};
}

// Every kernel starts each call from whatever state the previous one left, so both
// must agree from any state a pass can reach, not only the first.
TEST_F(FastPathDifferential, SameBytesFromPreparedStates) {
    std::mt19937 random(2026);
    const auto pick = [&](const auto& values) { return values[random() % std::size(values)]; };
    // Meters at the edges of every range, gains around the target floors and maxGain, a
    // master gain below 1, holds about to run out, and the eighth-frame count near a step.
    const std::int8_t peaks[] = {0, 1, 34, 35, 36, 37, 48, 49, 50, 51, 52, 53, 73, 74, 75, 127};
    const float gains[] = {0.2f, 0.20001f, 0.21f, 0.25f, 0.27f, 0.28f, 0.2857f, 0.3f, 1.0f,
                           3.99f, 19.99f, 20.0f, 20.000477f, 20.2f, 100.0f, 101.5f};
    const float masters[] = {1.0f, 0.1f, 0.5f, 0.9985399842262268f, 1.0394999980926514f};
    const std::uint8_t holds[] = {0, 1, 47, 48, 49};
    const std::uint8_t counts[] = {0, 6, 7, 8, 255};
    const Settings settings[] = {{}, {4.0f, 9.0f, 4}, {100.0f, 1.0f, 1}, {20.0f, 8.0f, 3}};
    for (int n = 0; n < 4000; ++n) {
        EngineState start{pick(masters), pick(gains), pick(gains), pick(gains), pick(gains),
                          static_cast<std::int16_t>(static_cast<int>(random() % 2001) - 1000),
                          static_cast<std::int16_t>(static_cast<int>(random() % 2001) - 1000),
                          pick(peaks), pick(peaks), pick(peaks), pick(peaks),
                          pick(holds), pick(holds), pick(counts), 0};
        // Quiet, loud or silent frames, so meters hold, rise or decay.
        const int loudness = n % 3 == 0 ? 0 : n % 3 == 1 ? 300 : 32768;
        Bytes frames(4 * 300);
        for (std::size_t i = 0; i < frames.size(); i += 2) {
            const auto sample = static_cast<std::int16_t>(loudness == 0 ? 0 : static_cast<int>(random() % (2 * loudness)) - loudness);
            frames[i] = static_cast<std::uint8_t>(sample & 0xFF);
            frames[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8);
        }
        // Every fourth case is a mono file's: frames (s, s) from a state whose channels
        // are alike, which both kernels must keep alike, so that the left output is the
        // channel's own.
        const bool mono = n % 4 == 3;
        if (mono) {
            std::tie(start.gainHR, start.gainLR, start.lowR, start.peakHR, start.peakLR) =
                std::tie(start.gainHL, start.gainLL, start.lowL, start.peakHL, start.peakLL);
            for (std::size_t i = 0; i < frames.size(); i += 4) std::copy_n(&frames[i], 2, &frames[i + 2]);
        }
        const auto [out, end] = runBothFrom(start, frames, makeKernelRules(settings[n % std::size(settings)]),
                                            "case " + std::to_string(n));
        if (HasFailure()) return;
        for (std::size_t i = 0; mono && i < out.size(); i += 4) {
            ASSERT_TRUE(out[i] == out[i + 2] && out[i + 1] == out[i + 3]) << "case " << n << " frame " << i / 4;
        }
        ASSERT_TRUE(!mono || (end.gainHL == end.gainHR && end.gainLL == end.gainLR && end.lowL == end.lowR &&
                              end.peakHL == end.peakHR && end.peakLL == end.peakLR))
            << "case " << n << ": " << stateText(end);
    }
    // Both bands of a channel at exactly 16384 add up to 2048 sixteenths: an overload,
    // which sets the master gain, whether the meters hold (64) or rise (0). A low-pass
    // state of 8085 reaches 8192 on an input of 16384, leaving a high band of 8192;
    // gains of 2 double both.
    for (const auto& [peak, right] : {std::pair<std::int8_t, std::int16_t>{64, 16384}, {0, 16384}, {64, 0},
                                      {0, -16384}, {64, 16383}}) {
        const EngineState start{1.0f, 2.0f, 2.0f, 2.0f, 2.0f, 8085, 8085, peak, peak, peak, peak, 10, 10, 0, 0};
        Bytes frames = testing_support::framesFile({{16384, right}, {16384, right}, {0, 0}});
        frames.erase(frames.begin(), frames.begin() + kHeaderBytes);
        const auto [out, end] = runBothFrom(start, frames, makeKernelRules({}), "the overload edge");
        EXPECT_LT(end.masterGain, 1.0f) << "an overload";
    }
    // No pass leaves a meter below 0; handed one, the fast kernel still agrees.
    const Bytes noise = signals::wavFile(signals::quietNoise(2000));
    runBothFrom({1.0f, 0.4f, 0.4f, 0.6f, 0.6f, 0, 0, -1, 5, -128, 40, 3, 3, 0, 0}, noise, makeKernelRules({}),
                "a meter below 0");
}

// A stream cut into calls: the size of each call from the one before (0 for the
// first), in frames.
struct Split {
    const char* name;
    std::size_t (*next)(std::size_t previous);
    bool newSettings;  // other settings from each call on
};

TEST_F(FastPathDifferential, StateCarriesAcrossCallsExactly) {
    const Split splits[] = {
        // Uneven slices, so every kind of moment falls on a call boundary somewhere.
        {"uneven", [](std::size_t n) { return n * 7 % 997 + 1; }, false},
        {"one frame a call", [](std::size_t) -> std::size_t { return 1; }, false},
        {"odd sizes", [](std::size_t n) -> std::size_t { return (n * 5 + 2) % 1023 | 1; }, false},
        {"empty calls between", [](std::size_t n) -> std::size_t { return n == 0 ? 37 : 0; }, false},
        {"large", [](std::size_t) -> std::size_t { return 65536; }, false},
        {"settings changed on every call", [](std::size_t n) { return n * 7 % 997 + 1; }, true},
        {"settings changed on every frame", [](std::size_t) -> std::size_t { return 1; }, true},
    };
    const KernelRules rules[] = {makeKernelRules({60.0f, 3.0f, 4}), makeKernelRules({4.0f, 9.0f, 1}),
                                 makeKernelRules({100.0f, 1.0f, 2}), makeKernelRules({})};
    const Bytes input = signals::wavFile(signals::mixed(3 * signals::kSampleRate));
    const Bytes whole = [&] {
        Bytes bytes = input;
        EngineState state;
        processFrames(state, rules[0], std::span<std::uint8_t>(bytes).subspan(kHeaderBytes));
        return bytes;
    }();
    for (const Split& split : splits) {
        Bytes literal = input;
        Bytes fast = input;
        EngineState literalState;
        EngineState fastState;
        std::size_t offset = kHeaderBytes;
        for (std::size_t call = 0, frames = split.next(0); offset + kFrameBytes <= input.size();
             ++call, frames = split.next(frames)) {
            const std::size_t bytes = std::min(frames * kFrameBytes, (input.size() - offset) / kFrameBytes * kFrameBytes);
            const KernelRules& callRules = rules[split.newSettings ? call % std::size(rules) : 0];
            processFrames(literalState, callRules, std::span<std::uint8_t>(literal).subspan(offset, bytes));
            processFramesFast(fastState, callRules, std::span<std::uint8_t>(fast).subspan(offset, bytes));
            offset += bytes;
            ASSERT_EQ(stateText(fastState), stateText(literalState)) << split.name << " at " << offset;
        }
        EXPECT_EQ(fast, literal) << split.name;
        // Cut into calls, the stream is the one it is in a single call.
        if (!split.newSettings) {
            EXPECT_EQ(fast, whole) << split.name;
        }
    }
}

}  // namespace
}  // namespace twoband
