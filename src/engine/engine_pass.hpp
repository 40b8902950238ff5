#pragma once

// One pass of the engine over a file, fed its bytes block by block: the file's frames
// through a ChannelEngine (each pair of channels as a stereo file, an odd last channel
// as mono), every other byte kept, and progress dots that count bytes of the file,
// whatever its layout.

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/channel_engine.hpp"
#include "engine/engine_state.hpp"

namespace twoband {

// A progress dot is printed at every offset that is a multiple of this.
constexpr std::size_t kDotInterval = 131072;
constexpr std::uint8_t kDotsPerLine = 80;

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
    std::size_t frameBytes() const { return engine_.frameBytes(); }

    // `block` holds the file's bytes from `offset` on, right after the previous block.
    // Where a block boundary falls inside the sample range it must fall between two
    // frames (begin plus a multiple of frameBytes()).
    void process(std::span<std::uint8_t> block, std::uint64_t offset);

    // Ends the progress line.
    void finish();

private:
    void compress(std::span<std::uint8_t> block, std::uint64_t offset, std::uint64_t from,
                  std::uint64_t to);
    void printDot();

    ChannelEngine engine_;  // the first pair's state counts the dots
    std::uint64_t framesBegin_;
    std::uint64_t framesEnd_;  // the end of the last whole frame
    std::uint64_t nextDot_ = kDotInterval;
    ProgressOutput& progress_;
};

}  // namespace twoband
