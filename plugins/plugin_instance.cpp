#include "plugin_instance.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "library/float_samples.hpp"

namespace twoband_plugins {
namespace {

// The control's value within its range, or `inForce` when there is none to read.
float controlValue(const float* control, const Port& port, float inForce) {
    if (control == nullptr || std::isnan(*control)) return inForce;
    return std::clamp(*control, port.minimum, port.maximum);
}

float meterValue(const twoband_gains& gains, Meter meter) {
    switch (meter) {
    case Meter::master: return gains.master;
    case Meter::highLeft: return gains.high_left;
    case Meter::highRight: return gains.high_right;
    case Meter::lowLeft: return gains.low_left;
    case Meter::lowRight: return gains.low_right;
    case Meter::none: break;
    }
    return 0.0f;
}

// Puts frames [from, from + count) of the inputs in `block` as interleaved 16-bit
// samples, and is true when every one was on the grid, so that the block holds what
// the quantiser would give (its noise untouched); when false, the quantiser must make
// the block. The channel count is fixed, so that the compiler vectorises the loop.
// A sample as it is on the grid, and 1 in `offGrid` when it is not there: the
// library's own conversion (round to nearest, saturated, NaN as 0, kept on the bits
// so that a loop of them is vectorised) gives a sample that goes back to x exactly
// when x is k / 32768 with k a 16-bit sample. NaN fails the comparison.
inline std::int16_t asItIs(float x, int& offGrid) {
    const std::int16_t sample = twoband_library::sampleFromFloat(x);
    offGrid |= twoband_library::floatFromSample(sample) != x;
    return sample;
}

template <unsigned channels>
bool gatherOnGrid(const float* const* in, std::size_t from, std::size_t count, std::int16_t* block) {
    int offGrid = 0;
    const float* left = in[0] + from;
    if constexpr (channels == 2) {
        const float* right = in[1] + from;
        for (std::size_t frame = 0; frame < count; ++frame) {
            block[2 * frame] = asItIs(left[frame], offGrid);
            block[2 * frame + 1] = asItIs(right[frame], offGrid);
        }
    } else {
        for (std::size_t frame = 0; frame < count; ++frame) block[frame] = asItIs(left[frame], offGrid);
    }
    return offGrid == 0;
}

// The block's samples y back to the outputs' frames as y / 32768.
template <unsigned channels>
void scatter(const std::int16_t* block, std::size_t count, float* const* out, std::size_t from) {
    for (std::size_t frame = 0; frame < count; ++frame)
        for (unsigned channel = 0; channel < channels; ++channel)
            out[channel][from + frame] = twoband_library::floatFromSample(block[frame * channels + channel]);
}

}  // namespace

twoband_settings settingsFromControls(const float* const controls[kSettingsPorts],
                                      const twoband_settings& inForce) {
    twoband_settings wanted;
    wanted.max_gain = controlValue(controls[kMaxGainPort], kMaxGain, inForce.max_gain);
    wanted.recover_speed =
        controlValue(controls[kRecoverSpeedPort], kRecoverSpeed, inForce.recover_speed);
    const float feedback = controlValue(controls[kFeedbackSpeedPort], kFeedbackSpeed,
                                        static_cast<float>(inForce.feedback_speed));
    wanted.feedback_speed = static_cast<int>(std::floor(feedback + 0.5f));
    return wanted;
}

PluginInstance* PluginInstance::create(const PluginInfo& plugin) {
    twoband* handle = twoband_new(nullptr, plugin.channels, nullptr);
    if (handle == nullptr) return nullptr;
    PluginInstance* instance = new (std::nothrow) PluginInstance(plugin, handle);
    if (instance == nullptr) twoband_free(handle);
    return instance;
}

PluginInstance::PluginInstance(const PluginInfo& plugin, twoband* handle)
    : plugin_(plugin), handle_(handle) {
    static_assert(kStereo.channels <= kMostChannels && kMono.channels <= kMostChannels);
}

PluginInstance::~PluginInstance() { twoband_free(handle_); }

void PluginInstance::connect(std::uint32_t index, float* data) {
    if (index < plugin_.ports.size() && plugin_.ports[index].kind != PortKind::transport)
        ports_[index] = data;
}

void PluginInstance::restart() {
    twoband_reset(handle_);
    quantiser_.reset();
}

void PluginInstance::run(std::size_t first, std::size_t frames) {
    const float* const controls[kSettingsPorts] = {ports_[kMaxGainPort], ports_[kRecoverSpeedPort],
                                                   ports_[kFeedbackSpeedPort]};
    const twoband_settings wanted = settingsFromControls(controls, settings_);
    if (wanted.max_gain != settings_.max_gain || wanted.recover_speed != settings_.recover_speed ||
        wanted.feedback_speed != settings_.feedback_speed) {
        // Always accepted: every value is inside its range.
        twoband_set_settings(handle_, &wanted);
        settings_ = wanted;
    }

    std::array<const float*, kMostChannels> in{};
    std::array<float*, kMostChannels> out{};
    bool connected = true;
    for (std::size_t index = 0; index < plugin_.ports.size(); ++index) {
        const Port& port = plugin_.ports[index];
        if (port.kind == PortKind::audioInput) in[port.channel] = ports_[index];
        if (port.kind == PortKind::audioOutput) out[port.channel] = ports_[index];
        if (port.kind == PortKind::audioInput || port.kind == PortKind::audioOutput)
            connected = connected && ports_[index] != nullptr;
    }
    // A buffer that is not there: nothing is run, everything stays as it was.
    const unsigned channels = plugin_.channels;
    for (std::size_t done = 0; connected && done < frames;) {
        const std::size_t count = std::min(kBlockFrames, frames - done);
        const std::size_t from = first + done;
        // All of a block's input is read before any of its output is written, so the
        // output may be the input.
        const bool onGrid = channels == 2 ? gatherOnGrid<2>(in.data(), from, count, block_.data())
                                          : gatherOnGrid<1>(in.data(), from, count, block_.data());
        if (!onGrid) {
            for (std::size_t frame = 0; frame < count; ++frame)
                for (unsigned channel = 0; channel < channels; ++channel)
                    block_[frame * channels + channel] = quantiser_.fromFloat(in[channel][from + frame]);
        }
        twoband_process_s16(handle_, block_.data(), count);
        if (channels == 2) scatter<2>(block_.data(), count, out.data(), from);
        else scatter<1>(block_.data(), count, out.data(), from);
        done += count;
    }

    twoband_gains gains;
    if (twoband_get_gains(handle_, 0, &gains) != TWOBAND_OK) return;
    for (std::size_t index = 0; index < plugin_.ports.size(); ++index) {
        const Port& port = plugin_.ports[index];
        if (port.kind == PortKind::controlOutput && ports_[index] != nullptr)
            *ports_[index] = meterValue(gains, port.meter);
    }
}

}  // namespace twoband_plugins
