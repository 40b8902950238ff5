#pragma once

// The delivery stage, after the compressor: one static gain that brings the loudness
// to a target, then a true-peak limiter that holds the result under a ceiling, then
// the 16-bit quantiser. Block in, block out, its own state; it knows nothing of files.
//
//   samples ─► × static gain ─► delay (look-ahead) ─────────────► × limiter gain ─► quantise
//                   └─► true-peak detector ─► needed gain ─► hold ─► release ─► average ─┘
//
// Every step is + − × ÷ or sqrt on binary64, or integer arithmetic: the same samples
// give the same bytes on every machine. No libm function runs on the sample path.
//
// - The detector oversamples 4× (a polyphase windowed-sinc interpolator, 32 taps a
//   phase, in binary32) and finds, for each sample, the largest magnitude of the sample and of the
//   three points between it and the next one, across all channels.
// - The gain each such peak needs (ceiling / peak, never above 1) is held for the
//   look-ahead (2 ms) and a little more, released towards 1 with a time constant of
//   about 0.1 s, and averaged over the look-ahead: so the gain has already come down,
//   smoothly, when a peak arrives, and each peak gets at most the gain it needs.
// - One gain for all channels: the stereo image stays.
// - Where no peak comes near the ceiling, the limiter's gain is exactly 1 and only the
//   static gain remains (a static gain of 1 then gives the input's samples back).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/quantiser.hpp"

namespace twoband {

// Levels of this stage are hundredths of a decibel (of an LU, for loudness).
// 10^(hundredths / 2000), computed with + − × ÷ only. Valid range: ±20000.
double gainOfHundredths(std::int32_t hundredths);

constexpr int kOversampling = 4;
constexpr int kInterpolationTaps = 32;  // a phase's taps: 16 samples on each side
constexpr int kInterpolationHalf = kInterpolationTaps / 2;
static_assert(kInterpolationTaps % 2 == 0, "the taps lie evenly around the interval");

// The 4× interpolator's taps: phase p (1 to 3) gives the point p/4 of the way from
// sample m to m + 1 as the sum of x(m + j) × taps[p − 1][j + 15], j from −15 to 16.
// A Kaiser window (β = 5) on the sinc, each phase scaled to a DC gain of 1: flat
// within 0.2 % up to 0.45 of the rate, where meters that resample (ffmpeg) still see
// a square wave's harmonics.
using InterpolationTaps = std::array<std::array<double, kInterpolationTaps>, kOversampling - 1>;
const InterpolationTaps& interpolationTaps();

// Finds true peaks: fed frames of `channels` samples (binary64, in 16-bit steps), it
// gives, kInterpolationHalf frames later, each frame's peak: the largest magnitude of
// the frame's samples and of the interpolated points up to the next frame. Frames
// before the first are silence. Peaks that cannot reach `floor` may be reported as 0,
// or as what they are: the interpolation runs only on blocks where a sample near
// enough is at least floor / bound(), which no interpolated point can exceed. So
// every peak above the floor, and the largest, are exactly what computing every
// point gives.
class TruePeakDetector {
public:
    static constexpr std::size_t kBlockFrames = 64;  // frames interpolated together

    TruePeakDetector(std::size_t channels, double floor);

    // Pushes the whole frames of `frames` (interleaved); peaks[n] gets the peak of the
    // frame kInterpolationHalf before frame n (or 0, below the floor). `peaks` holds
    // one value a frame.
    void push(std::span<const double> frames, std::span<double> peaks);
    // A bound on |interpolated| / (largest |sample| near it).
    static double bound();
    void setFloor(double floor);

private:
    void pushBlock(const double* frames, std::size_t count, double* peaks);

    std::size_t channels_;
    double loudAbove_;                 // a sample above this makes the window's peaks count
    std::vector<float> history_;       // per channel, the last kInterpolationTaps − 1 samples, then a block
    std::vector<float> blockPeaks_;    // a block's peaks across the channels so far
    std::int64_t sinceLoud_ = kInterpolationTaps;  // frames since a loud one, at most
};

// The interpolation at the detector's heart, for its tests: for each n below `count`,
// peaks[n] becomes the largest of peaks[n], |x[n + 15]| and the magnitudes of the three
// points between x[n + 15] and x[n + 16] (x holds count + 31 samples). `portable` asks
// for the code every machine runs, rather than the widest this processor has; both
// give the same bits.
void interpolatedPeaks(const float* x, std::size_t count, float* peaks, bool portable);

// Look-ahead (2 ms) and release time constant (a power of two near 0.1 s), in frames.
std::size_t lookAheadFrames(std::uint32_t rate);
int releaseShift(std::uint32_t rate);

// The gain and the limiter over interleaved 16-bit frames of `channels` samples.
// The output lags the input by latency() frames: process() gives as many frames as it
// is given once that many have gone in, and finish() gives the rest.
class DeliveryStage {
public:
    // `staticGain` multiplies every sample; `ceiling` is the linear level (1 = full
    // scale) that no true peak passes.
    DeliveryStage(std::size_t channels, std::uint32_t rate, double staticGain, double ceiling);

    std::size_t latency() const { return delay_; }
    // Takes frames from `in`, appends the frames that leave the stage to `out`.
    void process(std::span<const std::int16_t> in, std::vector<std::int16_t>& out);
    // Appends the frames still in the stage, as if silence followed.
    void finish(std::vector<std::int16_t>& out);

    // Frames whose gain the limiter lowered, and the lowest gain it gave.
    std::uint64_t limitedFrames() const { return limitedFrames_; }
    double lowestGain() const { return lowestGain_; }

private:
    // At most TruePeakDetector::kBlockFrames frames.
    void processBlock(const std::int16_t* frames, std::size_t count, std::vector<std::int16_t>& out);
    // One frame, whose peak the detector gave.
    void step(const std::int16_t* frame, double peak, std::vector<std::int16_t>& out);

    static constexpr std::int64_t kUnity = std::int64_t{1} << 32;  // gain 1 in the envelope's units
    std::size_t channels_;
    double staticGain_;
    double threshold_;  // in 16-bit steps
    std::size_t lookAhead_;
    int releaseShift_;
    std::size_t delay_;
    TruePeakDetector detector_;
    std::vector<double> scaled_;        // a block × static gain
    std::vector<double> peaks_;         // the detector's peaks of a block
    std::vector<std::int16_t> delayed_; // delay_ + 1 frames, a ring
    std::size_t delayedAt_ = 0;
    std::vector<std::int64_t> needed_;  // hold window of needed gains, a ring
    std::vector<std::int64_t> averaged_;// the look-ahead's released gains, a ring
    std::size_t neededAt_ = 0;
    std::int64_t neededLeast_ = kUnity;  // the least in needed_, at leastAt_
    std::size_t leastAt_ = 0;
    std::size_t averagedAt_ = 0;
    std::int64_t released_ = kUnity;
    std::int64_t sum_;
    std::uint64_t pushed_ = 0;
    std::uint64_t taken_ = 0;  // frames given to process()
    std::uint64_t limitedFrames_ = 0;
    double lowestGain_ = 1.0;
    Quantiser quantiser_;
};

}  // namespace twoband
