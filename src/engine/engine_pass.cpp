#include "engine/engine_pass.hpp"

#include <algorithm>
#include <cstring>

namespace twoband {

namespace {

// Stereo frames gathered for one kernel call: enough that the kernel's setup per call
// is lost in the frames it runs, few enough to stay in the cache.
constexpr std::size_t kGatherFrames = 32768;

// Gathers one pair of channels, `stride` bytes apart from frame to frame, into
// `count` stereo frames; a mono channel goes to both sides.
template <bool kMono>
inline void gather(const std::uint8_t* channels, std::size_t stride, std::size_t count,
                   std::uint8_t* stereo) {
    for (std::size_t i = 0; i < count; ++i, channels += stride, stereo += kFrameBytes) {
        std::memcpy(stereo, channels, kSampleBytes);
        std::memcpy(stereo + kSampleBytes, kMono ? channels : channels + kSampleBytes, kSampleBytes);
    }
}

// Puts the stereo frames back; of a mono channel only the left output.
template <bool kMono>
inline void scatter(const std::uint8_t* stereo, std::size_t stride, std::size_t count,
                    std::uint8_t* channels) {
    for (std::size_t i = 0; i < count; ++i, channels += stride, stereo += kFrameBytes) {
        std::memcpy(channels, stereo, kMono ? kSampleBytes : kFrameBytes);
    }
}

}  // namespace

EnginePass::EnginePass(const Settings& settings, SampleRange samples, std::uint16_t channels,
                       ProgressOutput& progress, FrameKernel kernel)
    : rules_(std::make_unique<KernelRules>(makeKernelRules(settings))),
      channels_(channels),
      frameBytes_(channels * kSampleBytes),
      states_((channels + 1) / 2),
      framesBegin_(samples.begin),
      framesEnd_(samples.end > samples.begin
                     ? samples.end - (samples.end - samples.begin) % frameBytes_
                     : samples.begin),
      gatherFrames_(std::min<std::uint64_t>(kGatherFrames, (framesEnd_ - framesBegin_) / frameBytes_)),
      stereo_(channels == kStereoChannels ? nullptr : new std::uint8_t[gatherFrames_ * kFrameBytes]),
      progress_(progress),
      kernel_(kernel) {}

void EnginePass::process(std::span<std::uint8_t> block, std::uint64_t offset) {
    const std::uint64_t end = offset + block.size();
    std::uint64_t done = offset;
    // Each dot follows the frame that covers its offset; outside the frames it follows
    // the offset itself.
    for (; nextDot_ < end; nextDot_ += kDotInterval) {
        const std::uint64_t dotAt = nextDot_;
        const std::uint64_t passed =
            dotAt >= framesBegin_ && dotAt < framesEnd_
                ? dotAt + frameBytes_ - (dotAt - framesBegin_) % frameBytes_
                : dotAt + 1;
        const std::uint64_t upTo = std::min(passed, end);
        compress(block, offset, done, upTo);
        done = upTo;
        printDot();
    }
    compress(block, offset, done, end);
}

void EnginePass::finish() { progress_.progress("\n"); }

void EnginePass::compress(std::span<std::uint8_t> block, std::uint64_t offset, std::uint64_t from,
                          std::uint64_t to) {
    const std::uint64_t begin = std::max(from, framesBegin_);
    const std::uint64_t end = std::min(to, framesEnd_);
    if (begin < end) {
        compressPairs(block.subspan(begin - offset, end - begin));
    }
}

// Whole frames of the file: in place for stereo; otherwise each pair (or the mono last
// channel) gathered into stereo frames, through its own state, and put back.
void EnginePass::compressPairs(std::span<std::uint8_t> frames) {
    if (channels_ == kStereoChannels) {
        kernel_(states_.front(), *rules_, frames);
        return;
    }
    const std::size_t count = frames.size() / frameBytes_;
    std::uint8_t* const stereo = stereo_.get();
    for (std::size_t first = 0; first < count; first += gatherFrames_) {
        const std::size_t gathered = std::min(gatherFrames_, count - first);
        std::uint8_t* const files = frames.data() + first * frameBytes_;
        if (channels_ == 1) {  // the common case, with a stride the compiler knows
            gather<true>(files, kSampleBytes, gathered, stereo);
            kernel_(states_.front(), *rules_, {stereo, gathered * kFrameBytes});
            scatter<true>(stereo, kSampleBytes, gathered, files);
            continue;
        }
        for (std::size_t pair = 0; pair < states_.size(); ++pair) {
            std::uint8_t* const channels = files + pair * kFrameBytes;
            const bool mono = 2 * pair + 1 == channels_;
            mono ? gather<true>(channels, frameBytes_, gathered, stereo)
                 : gather<false>(channels, frameBytes_, gathered, stereo);
            kernel_(states_[pair], *rules_, {stereo, gathered * kFrameBytes});
            mono ? scatter<true>(stereo, frameBytes_, gathered, channels)
                 : scatter<false>(stereo, frameBytes_, gathered, channels);
        }
    }
}

void EnginePass::printDot() {
    std::uint8_t& dots = states_.front().dotCount;
    if (++dots == kDotsPerLine) {
        dots = 0;
        progress_.progress(".\n");
    } else {
        progress_.progress(".");
    }
}

}  // namespace twoband
