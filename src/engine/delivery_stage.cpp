#include "engine/delivery_stage.hpp"

#include <algorithm>
#include <cmath>

namespace twoband {

namespace {

constexpr double kLn10 = 2.302585092994045684017991454684364208;
constexpr double kKaiserBeta = 5.0;
constexpr std::uint32_t kLookAheadPerSecond = 500;  // 2 ms
constexpr std::uint32_t kReleasePerSecond = 10;     // about 0.1 s
// The limiter aims this far under the ceiling (0.18 dB), for the points the 4×
// detector does not see, for meters whose interpolators read high tones a little
// higher (libebur128 reads a 15 kHz tone at 44.1 kHz 0.1 dB above it), and for the
// quantiser's ±1 step of dither.
constexpr double kThresholdMargin = 0.98;
// A loud-enough test that no rounding (binary32 taps and sums) can fool.
constexpr double kBoundMargin = 1.0 + 0x1p-16;

// e^x for |x| up to about 50: e^(x / 2^k) by its series, squared k times.
double exponential(double x) {
    int halvings = 0;
    while (x > 0.0625 || x < -0.0625) {
        x /= 2.0;
        ++halvings;
    }
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 12; ++k) {
        term = term * x / k;
        sum += term;
    }
    for (; halvings > 0; --halvings) sum *= sum;
    return sum;
}

// The modified Bessel function I0, by its series.
double besselI0(double x) {
    const double quarterSquare = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 60; ++k) {
        term = term * quarterSquare / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

InterpolationTaps makeTaps() {
    InterpolationTaps taps{};
    // sin(π·p/4) for p = 1, 2, 3; sin(π(f − j)) = (−1)^j sin(πf).
    const double half = std::sqrt(0.5);
    const double sines[] = {half, 1.0, half};
    constexpr double kPi = 3.141592653589793238462643383279502884;
    for (int p = 1; p < kOversampling; ++p) {
        const double f = static_cast<double>(p) / kOversampling;
        double sum = 0.0;
        for (int i = 0; i < kInterpolationTaps; ++i) {
            const int j = i - (kInterpolationHalf - 1);
            const double u = f - j;
            const double sinc = (j % 2 == 0 ? 1.0 : -1.0) * sines[p - 1] / (kPi * u);
            const double r = u / kInterpolationHalf;
            const double window = besselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / besselI0(kKaiserBeta);
            taps[p - 1][i] = sinc * window;
            sum += taps[p - 1][i];
        }
        for (double& tap : taps[p - 1]) tap /= sum;
    }
    return taps;
}

}  // namespace

double gainOfHundredths(std::int32_t hundredths) { return exponential(hundredths * kLn10 / 2000.0); }

const InterpolationTaps& interpolationTaps() {
    static const InterpolationTaps taps = makeTaps();
    return taps;
}

namespace {

// The taps as the detector runs them: binary32, tap by tap, the three phases and a
// zero side by side, so that a tap is one four-wide multiply and add.
using TapLanes = std::array<std::array<float, kOversampling>, kInterpolationTaps>;

const TapLanes& tapLanes() {
    static const TapLanes lanes = [] {
        TapLanes made{};
        for (int i = 0; i < kInterpolationTaps; ++i) {
            for (int p = 0; p < kOversampling - 1; ++p) made[i][p] = static_cast<float>(interpolationTaps()[p][i]);
        }
        return made;
    }();
    return lanes;
}

}  // namespace

double TruePeakDetector::bound() {
    static const double largest = [] {
        double most = 1.0;
        for (const auto& phase : interpolationTaps()) {
            double sum = 0.0;
            for (const double tap : phase) sum += std::fabs(tap);
            most = std::max(most, sum);
        }
        return most * kBoundMargin;
    }();
    return largest;
}

TruePeakDetector::TruePeakDetector(std::size_t channels, double floor)
    : channels_(channels), history_(channels * 2 * kInterpolationTaps, 0.0f) {
    setFloor(floor);
}

void TruePeakDetector::setFloor(double floor) { loudAbove_ = floor / bound(); }

double TruePeakDetector::push(const double* frame) {
    double loudest = 0.0;
    for (std::size_t c = 0; c < channels_; ++c) {
        float* ring = &history_[c * 2 * kInterpolationTaps];
        ring[at_] = ring[at_ + kInterpolationTaps] = static_cast<float>(frame[c]);
        loudest = std::max(loudest, std::fabs(frame[c]));
    }
    at_ = (at_ + 1) % kInterpolationTaps;
    sinceLoud_ = loudest > loudAbove_ ? 0 : sinceLoud_ + 1;
    if (sinceLoud_ >= kInterpolationTaps) return 0.0;
    // The window x(m − 15) ... x(m + 16) of the frame m kInterpolationHalf frames back.
    // Four sums a phase (taps i, i + 4 ...), added in a fixed order: short chains,
    // the same result on every machine.
    const TapLanes& lanes = tapLanes();
    float peak = 0.0f;
    for (std::size_t c = 0; c < channels_; ++c) {
        const float* window = &history_[c * 2 * kInterpolationTaps + at_];
        float sums[4][kOversampling] = {};
        for (int i = 0; i < kInterpolationTaps; i += 4) {
            for (int k = 0; k < 4; ++k) {
                for (int p = 0; p < kOversampling; ++p) sums[k][p] += window[i + k] * lanes[i + k][p];
            }
        }
        peak = std::max(peak, std::fabs(window[kInterpolationHalf - 1]));
        for (int p = 0; p < kOversampling - 1; ++p) {
            peak = std::max(peak, std::fabs((sums[0][p] + sums[1][p]) + (sums[2][p] + sums[3][p])));
        }
    }
    return peak;
}

std::size_t lookAheadFrames(std::uint32_t rate) {
    return std::max<std::size_t>(1, (rate + kLookAheadPerSecond / 2) / kLookAheadPerSecond);
}

int releaseShift(std::uint32_t rate) {
    // The power of two nearest rate / 10, at least 2^4.
    const std::uint64_t frames = std::max<std::uint64_t>(16, rate / kReleasePerSecond);
    int shift = 4;
    while ((std::uint64_t{3} << shift) / 2 < frames) ++shift;  // past 1.5 × 2^shift: round up
    return shift;
}

DeliveryStage::DeliveryStage(std::size_t channels, std::uint32_t rate, double staticGain, double ceiling)
    : channels_(channels),
      staticGain_(staticGain),
      threshold_(ceiling * kThresholdMargin * kSampleScale),
      lookAhead_(lookAheadFrames(rate)),
      releaseShift_(releaseShift(rate)),
      delay_(lookAhead_ + kInterpolationHalf),
      detector_(channels, threshold_),
      scaled_(channels),
      delayed_((delay_ + 1) * channels, 0),
      needed_(lookAhead_ + 2, kUnity),
      averaged_(lookAhead_, kUnity),
      sum_(static_cast<std::int64_t>(lookAhead_) * kUnity) {}

void DeliveryStage::process(std::span<const std::int16_t> in, std::vector<std::int16_t>& out) {
    for (std::size_t at = 0; at + channels_ <= in.size(); at += channels_) {
        step(&in[at], out);
        ++taken_;
    }
}

void DeliveryStage::finish(std::vector<std::int16_t>& out) {
    const std::vector<std::int16_t> silence(channels_, 0);
    while (taken_ > 0 && pushed_ < taken_ + delay_) step(silence.data(), out);
}

void DeliveryStage::step(const std::int16_t* frame, std::vector<std::int16_t>& out) {
    for (std::size_t c = 0; c < channels_; ++c) scaled_[c] = frame[c] * staticGain_;
    std::copy(frame, frame + channels_, &delayed_[delayedAt_ * channels_]);
    delayedAt_ = (delayedAt_ + 1) % (delay_ + 1);
    ++pushed_;

    // The gain the peak of frame t (kInterpolationHalf back) needs, held over the
    // frames t − L − 1 to t, released, and averaged over the look-ahead.
    const double peak = detector_.push(scaled_.data());
    needed_[neededAt_] = peak > threshold_ ? static_cast<std::int64_t>(threshold_ / peak * kUnity) : kUnity;
    neededAt_ = (neededAt_ + 1) % needed_.size();
    std::int64_t held = kUnity;
    if (peak > threshold_ || released_ < kUnity || sum_ != static_cast<std::int64_t>(lookAhead_) * kUnity) {
        held = *std::min_element(needed_.begin(), needed_.end());
    }
    released_ = held < released_ ? held : released_ + ((held - released_ + (std::int64_t{1} << releaseShift_) - 1) >> releaseShift_);
    sum_ += released_ - averaged_[averagedAt_];
    averaged_[averagedAt_] = released_;
    averagedAt_ = (averagedAt_ + 1) % lookAhead_;

    if (pushed_ <= delay_) return;
    // The frame delay_ back: delayedAt_ now points at it (the ring holds delay_ + 1).
    const std::int16_t* leaving = &delayed_[delayedAt_ * channels_];
    const std::int64_t unitySum = static_cast<std::int64_t>(lookAhead_) * kUnity;
    const double gain = sum_ == unitySum ? 1.0 : static_cast<double>(sum_) / static_cast<double>(unitySum);
    if (gain < 1.0) {
        ++limitedFrames_;
        lowestGain_ = std::min(lowestGain_, gain);
    }
    const double scale = staticGain_ * gain;
    for (std::size_t c = 0; c < channels_; ++c) out.push_back(quantiser_.quantise(leaving[c] * scale));
}

}  // namespace twoband
