#include "engine/delivery_stage.hpp"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "signals.hpp"

namespace twoband {
namespace {

using Samples = std::vector<std::int16_t>;

// The true peak of interleaved samples in dBTP, as libebur128 measures it.
double truePeakOf(const Samples& samples, std::size_t channels, std::uint32_t rate) {
    ebur128_state* state = ebur128_init(static_cast<unsigned>(channels), rate, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / channels);
    double most = 0.0;
    for (unsigned c = 0; c < channels; ++c) {
        double peak = 0.0;
        ebur128_true_peak(state, c, &peak);
        most = std::max(most, peak);
    }
    ebur128_destroy(&state);
    return 20.0 * std::log10(most);
}

DeliveryStage stageFor(std::size_t channels, std::uint32_t rate, std::int32_t gainHundredths,
                       std::int32_t ceilingHundredths) {
    return DeliveryStage(channels, rate, gainOfHundredths(gainHundredths), gainOfHundredths(ceilingHundredths));
}

Samples runStage(const Samples& in, std::size_t channels, DeliveryStage& stage) {
    Samples out;
    // Uneven calls, as blocks of a file arrive.
    for (std::size_t at = 0; at < in.size();) {
        const std::size_t frames = std::min<std::size_t>(1 + at % 7919, (in.size() - at) / channels);
        stage.process(std::span(in).subspan(at, frames * channels), out);
        at += frames * channels;
    }
    stage.finish(out);
    return out;
}

struct LimiterRow {
    const char* what;
    std::function<double(std::size_t frame, std::size_t channel, std::uint32_t rate)> signal;  // in full scale
    std::int32_t gain;  // hundredths of a dB
    bool limited;       // false: the output is the input × the gain (exactly, for a gain of 1)
};

TEST(DeliveryStage, NoTruePeakPassesTheCeilingAndQuietInputIsLeftAlone) {
    const double pi = 3.141592653589793;
    const LimiterRow rows[] = {
        {"full-scale square", [](std::size_t n, std::size_t, std::uint32_t) { return n / 50 % 2 ? 1.0 : -1.0; }, 0, true},
        {"sine at fs/4, 45 degrees",
         [&](std::size_t n, std::size_t, std::uint32_t) { return std::sin(pi * n / 2 + pi / 4); }, 0, true},
        {"single-sample spike", [](std::size_t n, std::size_t, std::uint32_t) { return n == 3000 ? 1.0 : 0.0; }, 0, true},
        {"silence", [](std::size_t, std::size_t, std::uint32_t) { return 0.0; }, 0, false},
        {"DC at -4.3 dBFS", [](std::size_t, std::size_t, std::uint32_t) { return 20000 / 32768.0; }, 0, false},
        {"DC at full scale", [](std::size_t, std::size_t, std::uint32_t) { return 1.0; }, 0, true},
        {"1 kHz at -12 dBFS",
         [&](std::size_t n, std::size_t c, std::uint32_t rate) { return 0.25 * std::sin(2 * pi * 1000 * n / rate + c); },
         0, false},
        {"1 kHz at -20 dBFS, +6 dB",
         [&](std::size_t n, std::size_t, std::uint32_t rate) { return 0.1 * std::sin(2 * pi * 1000 * n / rate); },
         600, false},
        {"15 kHz at -0.3 dBFS, 30 degrees apart",
         [&](std::size_t n, std::size_t c, std::uint32_t rate) { return 0.966 * std::sin(2 * pi * 15000 * n / rate + c * pi / 6); },
         0, true},
        {"bursts at -12 dBFS, +14 dB",
         [&](std::size_t n, std::size_t c, std::uint32_t rate) {
             return (n / (rate / 8)) % 2 ? 0.25 * std::sin(2 * pi * (300 + 200 * c) * n / rate) : 0.01;
         },
         1400, true},
    };
    for (const std::uint32_t rate : {44100u, 48000u, 96000u}) {
        for (const std::size_t channels : {std::size_t{1}, std::size_t{2}}) {
            for (const LimiterRow& row : rows) {
                const std::size_t frames = rate / 2;
                Samples in(frames * channels);
                for (std::size_t n = 0; n < frames; ++n) {
                    for (std::size_t c = 0; c < channels; ++c) {
                        in[n * channels + c] =
                            static_cast<std::int16_t>(std::lround(std::clamp(row.signal(n, c, rate) * 32768.0, -32768.0, 32767.0)));
                    }
                }
                const std::int32_t ceiling = -100;
                DeliveryStage stage = stageFor(channels, rate, row.gain, ceiling);
                const Samples out = runStage(in, channels, stage);
                const std::string where = std::string(row.what) + ", " + std::to_string(rate) + " Hz, " +
                                          std::to_string(channels) + " channel(s)";
                ASSERT_EQ(out.size(), in.size()) << where;  // the latency is taken back by finish()
                EXPECT_LE(truePeakOf(out, channels, rate), ceiling / 100.0) << where;
                EXPECT_EQ(stage.limitedFrames() > 0, row.limited) << where;
                if (row.limited) continue;
                const double gain = gainOfHundredths(row.gain);
                for (std::size_t i = 0; i < in.size(); ++i) {
                    if (row.gain == 0) {
                        ASSERT_EQ(out[i], in[i]) << where << ", sample " << i;
                    } else {
                        ASSERT_NEAR(out[i], in[i] * gain, 1.5) /* TPDF dither */ << where << ", sample " << i;
                    }
                }
            }
        }
    }
}

TEST(DeliveryStage, OneGainForAllChannels) {
    // A loud left channel and a quiet right one: the right is lowered with the left,
    // by the same factor, so their ratio stays.
    const std::size_t frames = 24000;
    Samples in(frames * 2);
    for (std::size_t n = 0; n < frames; ++n) {
        in[2 * n] = static_cast<std::int16_t>(std::lround(32000 * signals::sine(n * 440.0 / 48000)));
        in[2 * n + 1] = static_cast<std::int16_t>(std::lround(8000 * signals::sine(n * 440.0 / 48000)));
    }
    DeliveryStage stage = stageFor(2, 48000, 0, -300);
    const Samples out = runStage(in, 2, stage);
    for (std::size_t n = 0; n < frames; ++n) {
        if (std::abs(in[2 * n]) < 16000) continue;
        const double left = static_cast<double>(out[2 * n]) / in[2 * n];
        const double right = static_cast<double>(out[2 * n + 1]) / in[2 * n + 1];
        ASSERT_NEAR(left, right, 2.0 / std::abs(in[2 * n + 1])) << "frame " << n;
    }
}

TEST(DeliveryStage, GainsOfHundredthsAreTheDecibels) {
    const struct {
        std::int32_t hundredths;
        double gain;
    } rows[] = {{0, 1.0}, {600, 1.9952623149688795}, {-100, 0.8912509381337456}, {2000, 10.0},
                {-7000, 3.1622776601683794e-4}, {-900, 0.35481338923357547}, {1234, 4.139996748197325}};
    for (const auto& row : rows) EXPECT_NEAR(gainOfHundredths(row.hundredths), row.gain, row.gain * 1e-13) << row.hundredths;
}

// The interpolation kernels against the detector's definition, computed here window
// by window: every bit the same, through the portable code and the widest.
TEST(DeliveryStage, InterpolationKernelsGiveTheDefinedBits) {
    const struct {
        const char* what;
        float scale;
        std::size_t count;  // windows, a multiple of 8
    } rows[] = {{"16-bit samples", 32767.0f, 64}, {"quiet", 3.0f, 8}, {"just over full scale", 40000.0f, 24}};
    std::mt19937 random(7);
    for (const auto& row : rows) {
        for (int block = 0; block < 200; ++block) {
            std::uniform_real_distribution<float> sample(-row.scale, row.scale);
            std::vector<float> x(row.count + kInterpolationTaps - 1);
            for (float& value : x) value = sample(random);
            std::vector<float> expected(row.count, 0.0f);
            for (std::size_t n = 0; n < row.count; ++n) {
                expected[n] = std::fabs(x[n + kInterpolationHalf - 1]);
                for (const auto& phase : interpolationTaps()) {
                    float sums[4] = {};
                    for (int i = 0; i < kInterpolationTaps; ++i) sums[i % 4] += x[n + i] * static_cast<float>(phase[i]);
                    expected[n] = std::max(expected[n], std::fabs((sums[0] + sums[1]) + (sums[2] + sums[3])));
                }
            }
            for (const bool portable : {true, false}) {
                std::vector<float> peaks(row.count, 0.0f);
                interpolatedPeaks(x.data(), row.count, peaks.data(), portable);
                ASSERT_EQ(0, std::memcmp(peaks.data(), expected.data(), row.count * sizeof(float)))
                    << row.what << ", block " << block << (portable ? ", portable" : ", widest");
            }
        }
    }
}

}  // namespace
}  // namespace twoband
