#include "engine/delivery_stage.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

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

constexpr std::size_t kLanes = 8;  // windows interpolated side by side
static_assert(TruePeakDetector::kBlockFrames % kLanes == 0, "a block is whole groups of lanes");

// kLanes binary32 values side by side: each operation acts on every lane alone, as
// IEEE arithmetic on each, so a lane gets exactly the bits of the same scalar code.
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));
using LaneBits = std::int32_t __attribute__((vector_size(kLanes * sizeof(float))));

// (Lanes pass by reference: no value of a vector type crosses a call, whatever the
// machine's convention for them.)
[[gnu::always_inline]] inline void loadLanes(Lanes& lanes, const float* x) { std::memcpy(&lanes, x, sizeof lanes); }

// |x| lane by lane.
[[gnu::always_inline]] inline void takeMagnitude(Lanes& x) {
    LaneBits bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits &= 0x7fffffff;
    std::memcpy(&x, &bits, sizeof x);
}

// a = std::max(a, b) lane by lane: b where a < b, else a.
[[gnu::always_inline]] inline void takeLarger(Lanes& a, const Lanes& b) {
    const LaneBits takeB = a < b;
    LaneBits aBits;
    LaneBits bBits;
    std::memcpy(&aBits, &a, sizeof aBits);
    std::memcpy(&bBits, &b, sizeof bBits);
    aBits = (bBits & takeB) | (aBits & ~takeB);
    std::memcpy(&a, &aBits, sizeof a);
}

// The taps as the detector runs them: binary32, phase by phase, each in every lane.
using TapLanes = std::array<std::array<Lanes, kInterpolationTaps>, kOversampling - 1>;

const TapLanes& tapLanes() {
    static const TapLanes taps = [] {
        TapLanes made{};
        for (int p = 0; p < kOversampling - 1; ++p) {
            for (int i = 0; i < kInterpolationTaps; ++i) {
                for (std::size_t l = 0; l < kLanes; ++l) made[p][i][l] = static_cast<float>(interpolationTaps()[p][i]);
            }
        }
        return made;
    }();
    return taps;
}

// The windows x[l] ... x[l + 31] for l below kLanes. Each point is four sums (taps i,
// i + 4 ..., in order), added as (s0 + s1) + (s2 + s3): short chains, one fixed order,
// lane by lane. The three phases run side by side, each sample loaded once.
[[gnu::always_inline]] inline void peaksOfLanes(const float* x, const TapLanes& taps, float* peaks) {
    Lanes sums[kOversampling - 1][4] = {};
    for (int i = 0; i < kInterpolationTaps; i += 4) {
        for (int k = 0; k < 4; ++k) {
            Lanes window;
            loadLanes(window, x + i + k);
            for (int p = 0; p < kOversampling - 1; ++p) sums[p][k] += window * taps[p][i + k];
        }
    }
    Lanes best;
    Lanes centre;
    loadLanes(best, peaks);
    loadLanes(centre, x + kInterpolationHalf - 1);
    takeMagnitude(centre);
    takeLarger(best, centre);
    for (int p = 0; p < kOversampling - 1; ++p) {
        Lanes point = (sums[p][0] + sums[p][1]) + (sums[p][2] + sums[p][3]);
        takeMagnitude(point);
        takeLarger(best, point);
    }
    std::memcpy(peaks, &best, sizeof best);
}

void peaksPortable(const float* x, std::size_t count, float* peaks) {
    const TapLanes& taps = tapLanes();
    for (std::size_t n = 0; n < count; n += kLanes) peaksOfLanes(x + n, taps, peaks + n);
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same code, eight lanes to a register.
[[gnu::target("avx2")]] void peaksAvx2(const float* x, std::size_t count, float* peaks) {
    const TapLanes& taps = tapLanes();
    for (std::size_t n = 0; n < count; n += kLanes) peaksOfLanes(x + n, taps, peaks + n);
}

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

void interpolatedPeaks(const float* x, std::size_t count, float* peaks, bool portable) {
#if defined(__GNUC__) && defined(__x86_64__)
    if (!portable && hasAvx2()) return peaksAvx2(x, count, peaks);
#endif
    (void)portable;
    peaksPortable(x, count, peaks);
}

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

namespace {
constexpr std::size_t kKept = kInterpolationTaps - 1;  // samples a window reaches back
constexpr std::size_t kHistory = kKept + TruePeakDetector::kBlockFrames;
}  // namespace

TruePeakDetector::TruePeakDetector(std::size_t channels, double floor)
    : channels_(channels), history_(channels * kHistory, 0.0f), blockPeaks_(kBlockFrames, 0.0f) {
    setFloor(floor);
}

void TruePeakDetector::setFloor(double floor) { loudAbove_ = floor / bound(); }

void TruePeakDetector::push(std::span<const double> frames, std::span<double> peaks) {
    const std::size_t count = frames.size() / channels_;
    for (std::size_t n = 0; n < count; n += kBlockFrames) {
        pushBlock(&frames[n * channels_], std::min(kBlockFrames, count - n), &peaks[n]);
    }
}

void TruePeakDetector::pushBlock(const double* frames, std::size_t count, double* peaks) {
    // Channel c's history: x(−31) ... x(−1) of the block, then its frames; the window
    // of frame n (the one kInterpolationHalf back, at its centre) starts at n.
    bool loud = false;
    for (std::size_t i = 0; i < count * channels_; ++i) loud |= std::fabs(frames[i]) > loudAbove_;
    for (std::size_t c = 0; c < channels_; ++c) {
        float* history = &history_[c * kHistory + kKept];
        for (std::size_t n = 0; n < count; ++n) history[n] = static_cast<float>(frames[n * channels_ + c]);
    }
    // The block's first window reaches back kInterpolationTaps − 1 frames. (A loud
    // block counts as loud at its end: at worst the next block is computed in vain.)
    if (loud || sinceLoud_ < kInterpolationTaps - 1) {
        // Whole groups of lanes: the ones past `count` read earlier samples, unused.
        const std::size_t lanes = (count + kLanes - 1) / kLanes * kLanes;
        std::fill(blockPeaks_.begin(), blockPeaks_.begin() + static_cast<std::ptrdiff_t>(lanes), 0.0f);
        for (std::size_t c = 0; c < channels_; ++c) {
            interpolatedPeaks(&history_[c * kHistory], lanes, blockPeaks_.data(), false);
        }
        std::copy(blockPeaks_.begin(), blockPeaks_.begin() + static_cast<std::ptrdiff_t>(count), peaks);
    } else {
        std::fill(peaks, peaks + count, 0.0);
    }
    sinceLoud_ = loud ? 0 : sinceLoud_ + static_cast<std::int64_t>(count);
    for (std::size_t c = 0; c < channels_; ++c) {
        float* history = &history_[c * kHistory];
        std::copy(history + count, history + count + kKept, history);
    }
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
      scaled_(channels * TruePeakDetector::kBlockFrames),
      peaks_(TruePeakDetector::kBlockFrames),
      delayed_((delay_ + 1) * channels, 0),
      needed_(lookAhead_ + 2, kUnity),
      averaged_(lookAhead_, kUnity),
      sum_(static_cast<std::int64_t>(lookAhead_) * kUnity) {}

void DeliveryStage::process(std::span<const std::int16_t> in, std::vector<std::int16_t>& out) {
    const std::size_t frames = in.size() / channels_;
    out.reserve(out.size() + frames * channels_);
    for (std::size_t n = 0; n < frames; n += TruePeakDetector::kBlockFrames) {
        processBlock(&in[n * channels_], std::min(TruePeakDetector::kBlockFrames, frames - n), out);
    }
    taken_ += frames;
}

void DeliveryStage::finish(std::vector<std::int16_t>& out) {
    const std::uint64_t left = taken_ > 0 ? taken_ + delay_ - pushed_ : 0;
    const std::vector<std::int16_t> silence(TruePeakDetector::kBlockFrames * channels_, 0);
    for (std::uint64_t done = 0; done < left;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(TruePeakDetector::kBlockFrames, left - done));
        processBlock(silence.data(), count, out);
        done += count;
    }
}

void DeliveryStage::processBlock(const std::int16_t* frames, std::size_t count, std::vector<std::int16_t>& out) {
    const std::size_t samples = count * channels_;
    for (std::size_t i = 0; i < samples; ++i) scaled_[i] = frames[i] * staticGain_;
    detector_.push(std::span(scaled_).first(samples), std::span(peaks_).first(count));
    for (std::size_t n = 0; n < count; ++n) step(&frames[n * channels_], peaks_[n], out);
}

void DeliveryStage::step(const std::int16_t* frame, double peak, std::vector<std::int16_t>& out) {
    std::copy(frame, frame + channels_, &delayed_[delayedAt_ * channels_]);
    if (++delayedAt_ == delay_ + 1) delayedAt_ = 0;
    ++pushed_;

    // The gain the peak of frame t (kInterpolationHalf back) needs, held over the
    // frames t − L − 1 to t, released, and averaged over the look-ahead.
    const std::int64_t needed = peak > threshold_ ? static_cast<std::int64_t>(threshold_ / peak * kUnity) : kUnity;
    needed_[neededAt_] = needed;
    if (needed <= neededLeast_) {
        neededLeast_ = needed;
        leastAt_ = neededAt_;
    } else if (leastAt_ == neededAt_) {  // the least has left the window: look again
        const auto least = std::min_element(needed_.begin(), needed_.end());
        neededLeast_ = *least;
        leastAt_ = static_cast<std::size_t>(least - needed_.begin());
    }
    if (++neededAt_ == needed_.size()) neededAt_ = 0;
    std::int64_t held = kUnity;
    if (peak > threshold_ || released_ < kUnity || sum_ != static_cast<std::int64_t>(lookAhead_) * kUnity) {
        held = neededLeast_;
    }
    released_ = held < released_ ? held : released_ + ((held - released_ + (std::int64_t{1} << releaseShift_) - 1) >> releaseShift_);
    sum_ += released_ - averaged_[averagedAt_];
    averaged_[averagedAt_] = released_;
    if (++averagedAt_ == lookAhead_) averagedAt_ = 0;

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
