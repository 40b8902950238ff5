#pragma once

// Coarse 8-bit peak meters, one per band. A meter jumps up to any louder level at
// once, holds, and then falls one step every kHoldFrames frames. The two meters of a
// band pair (high or low) share one hold counter, so a new peak in either channel
// restarts the hold of both.

#include <cstdint>

#include "engine/engine_state.hpp"

namespace twoband {

// A pair's meters decay when its hold counter reaches this many frames.
constexpr std::uint8_t kHoldFrames = 50;

// The level of a band product in units of 256: the magnitude of its high byte, held
// in 8 bits. 0 to 127, except -128 for products from -32768 to -32513, which never
// raise a meter.
std::int8_t bandLevel(std::int16_t product);

// Meters one pair of bands. `hold` ends at 0 only on a frame where the pair decays.
void updateMeterPair(std::int8_t& peakLeft, std::int8_t& peakRight, std::uint8_t& hold,
                     std::int16_t bandLeft, std::int16_t bandRight);

// Meters the high pair, then the low pair, on the band values as stored in 16 bits.
void updateMeters(EngineState& state, const BandProducts& bands);

}  // namespace twoband
