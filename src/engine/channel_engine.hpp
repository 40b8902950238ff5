#pragma once

// A stream of any number of channels through the engine, which compresses stereo
// frames. Each pair of channels is compressed as a stereo stream would be:
//
//   frame        │ ch1 ch2 │ ch3 ch4 │ ch5 ch6 │ ch7 │
//   engine state │ pair 0  │ pair 1  │ pair 2  │ 3   │   one EngineState each
//   stereo frame │ (1, 2)  │ (3, 4)  │ (5, 6)  │ (7, 7)   an odd last channel is
//                                                        compressed as mono: the frame
//                                                        (s, s), its left output kept
//
// Interleaved stereo runs through the kernel in place; any other layout is gathered,
// a block of stereo frames at a time, run through the same kernel, and put back. The
// stream may be fed in calls of any size: the states carry every frame's effect into
// the next call, and the rules are prepared when the settings are set, not per call.
// Everything is allocated on construction; nothing after.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/kernel_rules.hpp"
#include "settings.hpp"

namespace twoband {

// The channel count of a plain stereo stream.
constexpr std::uint16_t kStereoChannels = 2;
// Bytes of one 16-bit sample.
constexpr std::size_t kSampleBytes = 2;
static_assert(kFrameBytes == kStereoChannels * kSampleBytes);

// Where a pair's stereo frames come from and go back to. A layout gives, for the
// channel pair `pair` (`mono` for an odd last channel, which it doubles into both
// sides), `count` frames from frame `first` on:
//   void gather(std::size_t pair, bool mono, std::size_t first, std::size_t count,
//               std::uint8_t* stereo);        // count frames of kFrameBytes, little-endian
//   void scatter(std::size_t pair, bool mono, std::size_t first, std::size_t count,
//                const std::uint8_t* stereo);  // of a mono channel, the left output only
class ChannelEngine {
public:
    // `channels` from 1 to 65535; `gatherFrames` (at least 1) stereo frames are gathered
    // at a time for any layout but interleaved stereo.
    ChannelEngine(const Settings& settings, std::uint16_t channels, FrameKernel kernel,
                  std::size_t gatherFrames);

    // New rules from the next frame on; the states carry on. Allocates nothing.
    void setSettings(const Settings& settings);
    // Every pair back to the fresh state of a new stream.
    void reset();

    std::uint16_t channels() const { return channels_; }
    // Bytes of one interleaved frame: a sample of every channel.
    std::size_t frameBytes() const { return channels_ * kSampleBytes; }
    std::size_t pairs() const { return states_.size(); }
    const EngineState& pairState(std::size_t pair) const { return states_[pair]; }
    EngineState& pairState(std::size_t pair) { return states_[pair]; }

    // Compresses whole interleaved frames of little-endian 16-bit samples in place
    // (a multiple of frameBytes()).
    void process(std::span<std::uint8_t> frames);

    // Compresses `count` frames of `layout`.
    template <class Layout>
    void process(Layout& layout, std::size_t count);

private:
    std::unique_ptr<KernelRules> rules_;
    std::uint16_t channels_;
    std::vector<EngineState> states_;  // one per pair of channels
    std::size_t gatherFrames_;
    std::unique_ptr<std::uint8_t[]> stereo_;  // one pair's frames, gathered
    FrameKernel kernel_;
};

template <class Layout>
void ChannelEngine::process(Layout& layout, std::size_t count) {
    std::uint8_t* const stereo = stereo_.get();
    for (std::size_t first = 0; first < count; first += gatherFrames_) {
        const std::size_t gathered = std::min(gatherFrames_, count - first);
        for (std::size_t pair = 0; pair < states_.size(); ++pair) {
            const bool mono = 2 * pair + 1 == channels_;
            layout.gather(pair, mono, first, gathered, stereo);
            kernel_(states_[pair], *rules_, {stereo, gathered * kFrameBytes});
            layout.scatter(pair, mono, first, gathered, stereo);
        }
    }
}

}  // namespace twoband
