#include "engine/engine_state.hpp"

#include "engine/gain_control.hpp"
#include "engine/limiter.hpp"
#include "engine/meters.hpp"

namespace twoband {

namespace {

std::int16_t decodeSample(const std::uint8_t* bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
}

void encodeSample(std::int16_t sample, std::uint8_t* bytes) {
    const auto bits = static_cast<std::uint16_t>(sample);
    bytes[0] = static_cast<std::uint8_t>(bits & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(bits >> 8);
}

}  // namespace

std::int16_t splitBands(std::int16_t& low, std::int16_t in) {
    const std::int32_t difference = in - low;  // exact: at most 65535 either way
    low = wrap16(low + truncate(static_cast<float>(difference) * kLowPassCoefficient));
    return wrap16(in - low);
}

BandProducts bandProducts(const EngineState& state, std::int16_t highL, std::int16_t highR) {
    return {
        truncate(static_cast<float>(highL) * (state.masterGain * state.gainHL)),
        truncate(static_cast<float>(highR) * (state.gainHR * state.masterGain)),
        truncate(static_cast<float>(state.lowL) * state.gainLL),
        truncate(static_cast<float>(state.lowR) * state.gainLR),
    };
}

StereoFrame processFrame(EngineState& state, const GainRules& rules, StereoFrame in) {
    // Split each channel into its low and high band.
    const std::int16_t highL = splitBands(state.lowL, in.left);
    const std::int16_t highR = splitBands(state.lowR, in.right);

    // Band products with the gains the previous frame left.
    const BandProducts bands = bandProducts(state, highL, highR);

    // Meter the bands, then steer the gains for the next frame.
    updateMeters(state, bands);
    updateBandGains(state, rules);

    // Recombine the bands through the limiter.
    return limitOutput(state, bands);
}

void processFrames(EngineState& state, const KernelRules& rules, std::span<std::uint8_t> frames) {
    for (std::size_t offset = 0; offset + kFrameBytes <= frames.size(); offset += kFrameBytes) {
        std::uint8_t* frame = frames.data() + offset;
        const StereoFrame out =
            processFrame(state, rules.gains, {decodeSample(frame), decodeSample(frame + 2)});
        encodeSample(out.left, frame);
        encodeSample(out.right, frame + 2);
    }
}

}  // namespace twoband
