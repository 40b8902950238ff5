#include "engine/meters.hpp"

namespace twoband {

std::int8_t bandLevel(std::int16_t product) {
    const auto highByte = static_cast<std::int8_t>(product >> 8);  // rounds toward −∞
    return static_cast<std::int8_t>(highByte < 0 ? -highByte : highByte);  // −128 stays −128
}

void updateMeterPair(std::int8_t& peakLeft, std::int8_t& peakRight, std::uint8_t& hold,
                     std::int16_t bandLeft, std::int16_t bandRight) {
    const std::int8_t levelLeft = bandLevel(bandLeft);
    if (levelLeft > peakLeft) {
        peakLeft = levelLeft;
        hold = 0;
    }
    const std::int8_t levelRight = bandLevel(bandRight);
    if (levelRight > peakRight) {
        peakRight = levelRight;
        hold = 0;
    }
    if (++hold >= kHoldFrames) {
        if (peakLeft > 0) --peakLeft;
        if (peakRight > 0) --peakRight;
        hold = 0;
    }
}

void updateMeters(EngineState& state, const BandProducts& bands) {
    updateMeterPair(state.peakHL, state.peakHR, state.holdHigh, wrap16(bands.bandHL),
                    wrap16(bands.bandHR));
    updateMeterPair(state.peakLL, state.peakLR, state.holdLow, wrap16(bands.bandLL),
                    wrap16(bands.bandLR));
}

}  // namespace twoband
