#include "engine/engine_pass.hpp"

#include <algorithm>

namespace twoband {

namespace {

// Stereo frames gathered for one kernel call: enough that the kernel's setup per call
// is lost in the frames it runs, few enough to stay in the cache.
constexpr std::size_t kGatherFrames = 32768;

// The end of the last whole frame of `samples`.
std::uint64_t wholeFramesEnd(SampleRange samples, std::size_t frameBytes) {
    return samples.end > samples.begin ? samples.end - (samples.end - samples.begin) % frameBytes
                                       : samples.begin;
}

// Stereo frames gathered at a time: a stereo file runs in place and gathers none;
// others up to kGatherFrames, no more than the file has.
std::size_t gatherFrames(SampleRange samples, std::uint16_t channels) {
    const std::size_t frameBytes = channels * kSampleBytes;
    return channels == kStereoChannels
               ? 1
               : std::min<std::uint64_t>(kGatherFrames,
                                         (wholeFramesEnd(samples, frameBytes) - samples.begin) / frameBytes);
}

}  // namespace

EnginePass::EnginePass(const Settings& settings, SampleRange samples, std::uint16_t channels,
                       ProgressOutput& progress, FrameKernel kernel)
    : engine_(settings, channels, kernel, gatherFrames(samples, channels)),
      framesBegin_(samples.begin),
      framesEnd_(wholeFramesEnd(samples, engine_.frameBytes())),
      progress_(progress) {}

void EnginePass::process(std::span<std::uint8_t> block, std::uint64_t offset) {
    const std::uint64_t end = offset + block.size();
    std::uint64_t done = offset;
    // Each dot follows the frame that covers its offset; outside the frames it follows
    // the offset itself.
    for (; nextDot_ < end; nextDot_ += kDotInterval) {
        const std::uint64_t dotAt = nextDot_;
        const std::uint64_t passed =
            dotAt >= framesBegin_ && dotAt < framesEnd_
                ? dotAt + frameBytes() - (dotAt - framesBegin_) % frameBytes()
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
        engine_.process(block.subspan(begin - offset, end - begin));
    }
}

void EnginePass::printDot() {
    std::uint8_t& dots = engine_.pairState(0).dotCount;
    if (++dots == kDotsPerLine) {
        dots = 0;
        progress_.progress(".\n");
    } else {
        progress_.progress(".");
    }
}

}  // namespace twoband
