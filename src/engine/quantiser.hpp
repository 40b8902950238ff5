#pragma once

// Samples that are not 16-bit, brought to 16 bits the one way the program, the library
// and the plugins share:
// - a sample already on the 16-bit grid passes exactly (a 24-bit sample whose low byte
//   is 0, a float that is k/32768), so silence stays silent and a 16-bit source gives
//   its own samples back;
// - any other is rounded to the nearest 16-bit value after TPDF dither of ±1 LSB (the
//   sum of two uniform values), or, without dither, rounded with ties to even;
// - beyond the 16-bit range it saturates; NaN becomes 0.
//
// The noise comes from a fixed-seed generator that advances only on samples that need
// it, so the same samples in the same order give the same result on every run and on
// every machine: all arithmetic is integer or exact binary64.

#include <cmath>
#include <cstdint>

namespace twoband {

enum class Dither : std::uint8_t { triangular, none };

constexpr double kSampleScale = 32768.0;  // a float x stands for the 16-bit sample x × 32768
constexpr std::uint64_t kDitherSeed = 0x7477'6f62'616e'6421;  // "twoband!"

class Quantiser {
public:
    explicit Quantiser(Dither dither = Dither::triangular) : dither_(dither) {}

    Dither dither() const { return dither_; }

    // Starts the noise afresh, as a new file or stream does.
    void reset() { state_ = kDitherSeed; }

    // `value` in units of one 16-bit step (a 24-bit sample / 256, a float × 32768).
    std::int16_t quantise(double value) {
        if (!(value >= -32768.0)) return std::isnan(value) ? 0 : -32768;  // NaN, or below
        if (value >= 32767.0) return 32767;
        if (value == nearest(value)) return static_cast<std::int16_t>(value);  // on the grid
        if (dither_ == Dither::triangular) value += noise();
        // The dither can carry a value just past either end.
        const double rounded = nearest(value);
        if (rounded >= 32767.0) return 32767;
        if (rounded <= -32768.0) return -32768;
        return static_cast<std::int16_t>(rounded);
    }

    std::int16_t fromFloat(float x) { return quantise(static_cast<double>(x) * kSampleScale); }
    std::int16_t fromInt24(std::int32_t sample) { return quantise(sample / 256.0); }
    std::int16_t fromInt32(std::int32_t sample) { return quantise(sample / 65536.0); }

private:
    // The whole number nearest `value` (|value| < 2^51), ties to even, as the default
    // rounding mode rounds the sum: nearbyint's result without a call (but for the
    // sign of a zero, which no caller sees).
    static double nearest(double value) {
        constexpr double kRounder = 0x1.8p52;
        return (value + kRounder) - kRounder;
    }

    // TPDF noise in (−1, 1) steps: the difference of two uniform 32-bit draws, scaled
    // exactly by 2^−32.
    double noise() {
        const auto a = static_cast<std::int64_t>(next() >> 32);
        const auto b = static_cast<std::int64_t>(next() >> 32);
        return static_cast<double>(a - b) * 0x1p-32;
    }

    // splitmix64: small state, full period, the same on every machine.
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e37'79b9'7f4a'7c15);
        z = (z ^ (z >> 30)) * 0xbf58'476d'1ce4'e5b9;
        z = (z ^ (z >> 27)) * 0x94d0'49bb'1331'11eb;
        return z ^ (z >> 31);
    }

    Dither dither_;
    std::uint64_t state_ = kDitherSeed;
};

}  // namespace twoband
