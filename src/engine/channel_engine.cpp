#include "engine/channel_engine.hpp"

#include <cstring>

namespace twoband {

namespace {

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

// Interleaved frames of any channel count but 2. A mono stream, the common case, has
// a stride the compiler knows.
struct Interleaved {
    std::uint8_t* frames;
    std::size_t frameBytes;

    void gather(std::size_t pair, bool mono, std::size_t first, std::size_t count, std::uint8_t* stereo) const {
        const std::uint8_t* const channels = frames + first * frameBytes + pair * kFrameBytes;
        if (frameBytes == kSampleBytes) {
            twoband::gather<true>(channels, kSampleBytes, count, stereo);
        } else {
            mono ? twoband::gather<true>(channels, frameBytes, count, stereo)
                 : twoband::gather<false>(channels, frameBytes, count, stereo);
        }
    }

    void scatter(std::size_t pair, bool mono, std::size_t first, std::size_t count,
                 const std::uint8_t* stereo) const {
        std::uint8_t* const channels = frames + first * frameBytes + pair * kFrameBytes;
        if (frameBytes == kSampleBytes) {
            twoband::scatter<true>(stereo, kSampleBytes, count, channels);
        } else {
            mono ? twoband::scatter<true>(stereo, frameBytes, count, channels)
                 : twoband::scatter<false>(stereo, frameBytes, count, channels);
        }
    }
};

}  // namespace

ChannelEngine::ChannelEngine(const Settings& settings, std::uint16_t channels, FrameKernel kernel,
                             std::size_t gatherFrames)
    : rules_(std::make_unique<KernelRules>()),
      channels_(channels),
      states_((channels + 1) / 2),
      gatherFrames_(std::max<std::size_t>(gatherFrames, 1)),
      stereo_(new std::uint8_t[gatherFrames_ * kFrameBytes]),
      kernel_(kernel) {
    prepareKernelRules(*rules_, settings);
}

void ChannelEngine::setSettings(const Settings& settings) { prepareKernelRules(*rules_, settings); }

void ChannelEngine::reset() { std::fill(states_.begin(), states_.end(), EngineState{}); }

void ChannelEngine::process(std::span<std::uint8_t> frames) {
    if (channels_ == kStereoChannels) {
        kernel_(states_.front(), *rules_, frames);
        return;
    }
    Interleaved layout{frames.data(), frameBytes()};
    process(layout, frames.size() / frameBytes());
}

}  // namespace twoband
