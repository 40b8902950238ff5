#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/fast_path.hpp"
#include "engine/gain_control.hpp"
#include "signals.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using testing_support::Bytes;

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

TEST(FastPath, AcceptedPredictionsEqualTheExactStep) {
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> logGain(std::log(0.3), std::log(110.0));
    constexpr int kCases = 24'000'000;
    int accepted = 0;
    double worstShare = 0.0;  // largest |exact − predicted| as a share of the bound
    for (int n = 0; n < kCases; ++n) {
        const bool high = (n & 1) == 0;
        const Settings settings{20.0f, 8.0f, 1 + static_cast<std::int32_t>((n >> 1) & 3)};
        const GainRules rules = makeGainRules(settings);
        const BandRule& rule = high ? rules.high : rules.low;
        const std::int32_t lowest = high ? kHighSlowPeakLowest : kLowSlowPeakLowest;
        const std::int32_t highest = high ? kHighSlowPeakHighest : kLowSlowPeakHighest;
        const auto peak = static_cast<std::int32_t>(lowest + random() % (highest - lowest + 1));
        float gain = static_cast<float>(std::exp(logGain(random)));
        if (gain < kPredictedGainLowest) gain = kPredictedGainLowest;

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

TEST(FastPath, IdleMetersLeaveEveryGainAlone) {
    // The fast kernel skips the gain step of a band whose meter is at most the idle
    // limit (or 0 with the gain at most maxGain) on frames without recovery.
    std::mt19937_64 random(8);
    std::uniform_real_distribution<double> logGain(std::log(0.2), std::log(110.0));
    for (int n = 0; n < 4'000'000; ++n) {
        const bool high = (n & 1) == 0;
        const GainRules rules = makeGainRules({20.0f, 8.0f, 1 + static_cast<std::int32_t>((n >> 1) & 3)});
        const BandRule& rule = high ? rules.high : rules.low;
        const std::int32_t idleHighest = high ? kHighIdlePeakHighest : kLowIdlePeakHighest;
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

TEST_F(FastPathDifferential, StateCarriesAcrossCallsExactly) {
    const Bytes input = signals::wavFile(signals::mixed(3 * signals::kSampleRate));
    const GainRules rules = makeGainRules({60.0f, 3.0f, 4});
    Bytes literal = input;
    Bytes fast = input;
    EngineState literalState;
    EngineState fastState;
    // Uneven slices, so every kind of moment falls on a call boundary somewhere.
    std::size_t offset = kHeaderBytes;
    for (std::size_t slice = 1; offset + kFrameBytes <= input.size(); slice = slice * 7 % 997 + 1) {
        const std::size_t bytes = std::min(slice * kFrameBytes, (input.size() - offset) / kFrameBytes * kFrameBytes);
        processFrames(literalState, rules, std::span<std::uint8_t>(literal).subspan(offset, bytes));
        processFramesFast(fastState, rules, std::span<std::uint8_t>(fast).subspan(offset, bytes));
        offset += bytes;
        ASSERT_EQ(stateText(fastState), stateText(literalState)) << "at " << offset;
    }
    EXPECT_EQ(fast, literal);
}

}  // namespace
}  // namespace twoband
