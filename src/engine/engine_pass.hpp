#pragma once

// One pass of the engine over a file, fed its bytes block by block.
//
// The engine compresses stereo frames. A file's frames are laid out by its channel
// count, and each pair of channels is compressed as a stereo file would be:
//
//   file frame   │ ch1 ch2 │ ch3 ch4 │ ch5 ch6 │ ch7 │
//   engine state │ pair 1  │ pair 2  │ pair 3  │ 4   │   one EngineState each
//   stereo frame │ (1, 2)  │ (3, 4)  │ (5, 6)  │ (7, 7)   an odd last channel is
//                                                        compressed as mono: the frame
//                                                        (s, s), its left output kept
//
// A stereo file runs through the kernel in place; any other layout is gathered into
// stereo frames, run through the same kernel, and put back. Progress dots count bytes
// of the file, whatever its layout.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine_state.hpp"

namespace twoband {

// A progress dot is printed at every offset that is a multiple of this.
constexpr std::size_t kDotInterval = 131072;
constexpr std::uint8_t kDotsPerLine = 80;

// The channel count of a plain stereo file.
constexpr std::uint16_t kStereoChannels = 2;
// Bytes of one 16-bit sample.
constexpr std::size_t kSampleBytes = 2;
static_assert(kFrameBytes == kStereoChannels * kSampleBytes);

// Where a pass prints its progress: dots and line ends, each written as it comes.
class ProgressOutput {
public:
    virtual void progress(std::string_view text) = 0;

protected:
    ~ProgressOutput() = default;
};

// The bytes of a file that hold its samples: frames start at `begin`, and the last
// whole frame ends at or before `end`. Everything else is carried over unchanged.
struct SampleRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// The samples of a file read the plain way: everything after the header.
constexpr SampleRange canonicalSamples(std::uint64_t length) {
    return {kHeaderBytes, length > kHeaderBytes ? length : kHeaderBytes};
}

// One pass of the engine over a file of `channels` interleaved 16-bit channels
// (1 to 65535), from fresh states. Compresses the whole frames of the sample range in
// place, leaves every other byte as it is (a trailing partial frame too), and prints
// a progress dot for each multiple of kDotInterval the blocks pass (kDotsPerLine to
// a line).
class EnginePass {
public:
    EnginePass(const Settings& settings, SampleRange samples, std::uint16_t channels,
               ProgressOutput& progress, FrameKernel kernel);

    // Bytes of one frame of the file: a sample of every channel.
    std::size_t frameBytes() const { return frameBytes_; }

    // `block` holds the file's bytes from `offset` on, right after the previous block.
    // Where a block boundary falls inside the sample range it must fall between two
    // frames (begin plus a multiple of frameBytes()).
    void process(std::span<std::uint8_t> block, std::uint64_t offset);

    // Ends the progress line.
    void finish();

private:
    void compress(std::span<std::uint8_t> block, std::uint64_t offset, std::uint64_t from,
                  std::uint64_t to);
    void compressPairs(std::span<std::uint8_t> frames);
    void printDot();

    std::unique_ptr<KernelRules> rules_;  // prepared once for the pass
    std::uint16_t channels_;
    std::size_t frameBytes_;
    std::vector<EngineState> states_;  // one per pair of channels; the first counts the dots
    std::uint64_t framesBegin_;
    std::uint64_t framesEnd_;  // the end of the last whole frame
    std::size_t gatherFrames_;                // stereo frames gathered at a time
    std::unique_ptr<std::uint8_t[]> stereo_;  // one pair's frames, gathered
    std::uint64_t nextDot_ = kDotInterval;
    ProgressOutput& progress_;
    FrameKernel kernel_;
};

}  // namespace twoband
