#pragma once

// Synthetic 16-bit stereo test material, computed with plain arithmetic only so the
// same call gives the same bytes on every machine.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace signals {

constexpr std::uint32_t kSampleRate = 44100;

// Interleaved left/right samples.
using Samples = std::vector<std::int16_t>;

// sin(2π·cycles), by a fixed polynomial rather than the C library.
double sine(double cycles);

// A few bars of bass, chords and drums whose loudness moves from quiet to loud.
Samples musicLike(std::size_t frames);
// Full-scale square bursts and sweeps between short silences: drives the limiter.
Samples loudBursts(std::size_t frames);
// Low-level white noise, different in each channel.
Samples quietNoise(std::size_t frames);
Samples silence(std::size_t frames);
// Music, bursts, silence and noise in turn, in blocks of 2, 1, 1 and 1 seconds.
Samples mixed(std::size_t frames);

// Generates one of the kinds above by name ("music", "bursts", "noise", "silence",
// "mixed");
// an empty result for an unknown name.
Samples byName(std::string_view kind, std::size_t frames);

// A canonical 44-byte header for 44.1 kHz 16-bit stereo followed by the samples.
std::vector<std::uint8_t> wavFile(std::span<const std::int16_t> samples);

}  // namespace signals
