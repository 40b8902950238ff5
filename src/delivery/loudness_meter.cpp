#include "delivery/loudness_meter.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/delivery_stage.hpp"
#include "engine/quantiser.hpp"

#ifdef TWOBAND_HAVE_EBUR128
#include <ebur128.h>
#endif

namespace twoband {

std::int32_t hundredthsOfLevel(double level) {
    // The largest h with 10^(h/2000) ≤ level, by bisection, then the nearer of h and
    // h + 1 (by the geometric middle).
    std::int32_t low = -20000;
    std::int32_t high = 20000;
    while (high - low > 1) {
        const std::int32_t middle = low + (high - low) / 2;
        (gainOfHundredths(middle) <= level ? low : high) = middle;
    }
    return level * level >= gainOfHundredths(low) * gainOfHundredths(high) ? high : low;
}

#ifdef TWOBAND_HAVE_EBUR128

namespace {

class EburMeter final : public LoudnessMeter {
public:
    EburMeter(ebur128_state* state, std::size_t channels)
        : state_(state),
          channels_(channels),
          detector_(channels, 0.0),
          frames_(channels * TruePeakDetector::kBlockFrames, 0.0),
          peaks_(TruePeakDetector::kBlockFrames) {}
    ~EburMeter() override { ebur128_destroy(&state_); }

    void add(std::span<const std::int16_t> samples) override {
        const std::size_t frames = samples.size() / channels_;
        ebur128_add_frames_short(state_, samples.data(), frames);
        for (std::size_t n = 0; n < frames; n += TruePeakDetector::kBlockFrames) {
            const std::size_t count = std::min(TruePeakDetector::kBlockFrames, frames - n);
            for (std::size_t i = 0; i < count * channels_; ++i) frames_[i] = samples[n * channels_ + i];
            detect(count);
        }
    }

    Loudness result() override {
        std::fill(frames_.begin(), frames_.end(), 0.0);
        detect(kInterpolationHalf);
        Loudness loudness;
        double integrated = 0.0;
        double range = 0.0;
        if (ebur128_loudness_global(state_, &integrated) == EBUR128_SUCCESS && std::isfinite(integrated)) {
            loudness.integrated = static_cast<std::int32_t>(std::lround(integrated * 100.0));
        }
        if (ebur128_loudness_range(state_, &range) == EBUR128_SUCCESS && std::isfinite(range)) {
            loudness.range = static_cast<std::int32_t>(std::lround(range * 100.0));
        }
        if (peak_ > 0.0) loudness.truePeak = hundredthsOfLevel(peak_ / kSampleScale);
        return loudness;
    }

private:
    // Finds the peaks of the first `count` frames of frames_. Only peaks above the
    // loudest before the block are computed: the largest is the same as if all were.
    void detect(std::size_t count) {
        const std::span<double> peaks = std::span(peaks_).first(count);
        detector_.push(std::span(frames_).first(count * channels_), peaks);
        const double loudest = *std::max_element(peaks.begin(), peaks.end());
        if (loudest <= peak_) return;
        peak_ = loudest;
        detector_.setFloor(peak_);
    }

    ebur128_state* state_;
    std::size_t channels_;
    TruePeakDetector detector_;
    std::vector<double> frames_;  // a block of frames, as the detector takes them
    std::vector<double> peaks_;
    double peak_ = 0.0;
};

}  // namespace

std::unique_ptr<LoudnessMeter> LoudnessMeter::create(std::size_t channels, std::uint32_t rate, std::string& reason) {
    if (rate < kLowestMeteredRate || rate > kHighestMeteredRate) {
        reason = "a rate of " + std::to_string(rate) + " Hz; loudness is measured from " +
                 std::to_string(kLowestMeteredRate) + " to " + std::to_string(kHighestMeteredRate) + " Hz";
        return nullptr;
    }
    ebur128_state* state = ebur128_init(static_cast<unsigned>(channels), rate,
                                        EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM);
    if (state == nullptr) {
        reason = "no memory to measure " + std::to_string(channels) + " channels";
        return nullptr;
    }
    return std::make_unique<EburMeter>(state, channels);
}

#else

std::unique_ptr<LoudnessMeter> LoudnessMeter::create(std::size_t, std::uint32_t, std::string& reason) {
    reason = "this build measures no loudness: it was built without libebur128";
    return nullptr;
}

#endif

}  // namespace twoband
