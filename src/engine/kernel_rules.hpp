#pragma once

// The rules a frame kernel runs by, prepared once for a set of settings: the band
// gain rules, and the fast kernel's table of what each meter reading allows. Plain
// data, built where the settings are set or changed, never per call, so that a
// stream fed a frame at a time costs no more setup than one fed a file at a time.

#include <cstdint>

#include "engine/gain_control.hpp"
#include "settings.hpp"

namespace twoband {

// What a band's meter reading tells the fast kernel, one cache line each:
// - its prediction: a gain in [gainLowest, gainHighest] steps to fl32(g × factor) where
//   the rounding test passes (2^28 + bound, 2·bound + 1; a factor of 1 is no step, and
//   always passes);
// - its window: the products that leave the meter as it is and cannot overload.
struct alignas(64) MeterReading {
    double factor;
    std::int64_t edgeOffset;
    std::int64_t edgeWidth;
    double gainLowest;
    double gainHighest;
    double outsideTo;    // one below the lowest band that leaves the meter as it is
    double outsideFrom;  // one above the highest
};

constexpr int kBandPairs = 2;        // high, low
constexpr int kMeterReadings = 128;  // a meter rises to a level of at most 127

struct KernelRules {
    GainRules gains;
    MeterReading readings[kBandPairs][kMeterReadings];  // by pair (high, low) and meter
};

// Prepares `rules` for `settings` in place; allocates nothing.
void prepareKernelRules(KernelRules& rules, const Settings& settings);

// The same, as a value.
KernelRules makeKernelRules(const Settings& settings);

}  // namespace twoband
