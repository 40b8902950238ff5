// The VST3 and CLAP face of the plugins, through DPF: one DPF plugin class over the
// plugin core. The settings are its first parameters and the meters the output
// parameters after them, in the ports' order, so a parameter's index is the port's;
// the state is the settings' values (DPF saves and restores them); no latency. When
// the host's transport starts rolling (DPF's time position: VST3's process context,
// CLAP's transport), the plugin starts afresh.

#include "DistrhoPlugin.hpp"

#include <array>

#include "metadata.hpp"
#include "plugin_instance.hpp"

namespace twoband_plugins {
namespace {

constexpr const PluginInfo& kPlugin = TWOBAND_DPF_PLUGIN;

// The control ports come first: they are the parameters.
constexpr std::uint32_t controlPorts(std::span<const Port> ports) {
    std::uint32_t count = 0;
    while (count < ports.size() && (ports[count].kind == PortKind::controlInput ||
                                    ports[count].kind == PortKind::controlOutput))
        ++count;
    return count;
}
constexpr std::uint32_t kParameters = controlPorts(kPlugin.ports);
static_assert(kParameters == kSettingsPorts + 1 + 2 * kPlugin.channels);

constexpr std::uint32_t audioPortIndex(PortKind kind, unsigned channel) {
    for (std::uint32_t index = 0; index < kPlugin.ports.size(); ++index)
        if (kPlugin.ports[index].kind == kind && kPlugin.ports[index].channel == channel) return index;
    return static_cast<std::uint32_t>(kPlugin.ports.size());
}

#if defined(DISTRHO_PLUGIN_TARGET_VST3)
constexpr Format kFormat = Format::vst3;
#else
constexpr Format kFormat = Format::clap;
#endif

}  // namespace
}  // namespace twoband_plugins

START_NAMESPACE_DISTRHO

using namespace twoband_plugins;

class TwobandPlugin : public Plugin {
public:
    TwobandPlugin()
        : Plugin(kParameters, kPresets.size(), 0), core_(PluginInstance::create(kPlugin)) {
        for (std::uint32_t index = 0; index < kParameters; ++index) {
            values_[index] = kPlugin.ports[index].defaultValue;
            if (core_ != nullptr) core_->connect(index, &values_[index]);
        }
    }
    ~TwobandPlugin() override { delete core_; }

protected:
    const char* getName() const override { return kPlugin.name(kFormat); }
    const char* getLabel() const override { return kPlugin.ladspaLabel; }
    const char* getDescription() const override {
        return "The twoband two-band dynamic range compressor: the same samples as the twoband "
               "program on 16-bit input.";
    }
    const char* getMaker() const override { return kMaker; }
    const char* getHomePage() const override { return kHomePage; }
    const char* getLicense() const override { return kLicence; }
    uint32_t getVersion() const override { return d_version(1, 0, 0); }
    int64_t getUniqueId() const override { return kPlugin.vst3Id; }

    void initParameter(uint32_t index, Parameter& parameter) override {
        const Port& port = kPlugin.ports[index];
        parameter.hints = port.kind == PortKind::controlOutput ? kParameterIsOutput
                                                                : kParameterIsAutomatable;
        if (port.integer) parameter.hints |= kParameterIsInteger;
        parameter.name = port.name;
        parameter.symbol = port.symbol;
        parameter.ranges.min = port.minimum;
        parameter.ranges.max = port.maximum;
        parameter.ranges.def = port.defaultValue;
    }

    void initProgramName(uint32_t index, String& name) override { name = kPresets[index].name; }

    void loadProgram(uint32_t index) override {
        values_[kMaxGainPort] = kPresets[index].maxGain;
        values_[kRecoverSpeedPort] = kPresets[index].recoverSpeed;
        values_[kFeedbackSpeedPort] = kPresets[index].feedbackSpeed;
    }

    float getParameterValue(uint32_t index) const override {
        return index < kParameters ? values_[index] : 0.0f;
    }

    void setParameterValue(uint32_t index, float value) override {
        if (index < kSettingsPorts) values_[index] = value;
    }

    void activate() override {
        if (core_ != nullptr) core_->restart();
    }

    void run(const float** inputs, float** outputs, uint32_t frames) override {
        if (core_ == nullptr) return;
        const bool rolling = getTimePosition().playing;
        if (rolling && !rolling_) core_->restart();
        rolling_ = rolling;
        for (unsigned channel = 0; channel < kPlugin.channels; ++channel) {
            // The core reads its inputs only.
            core_->connect(audioPortIndex(PortKind::audioInput, channel),
                           const_cast<float*>(inputs[channel]));
            core_->connect(audioPortIndex(PortKind::audioOutput, channel), outputs[channel]);
        }
        core_->run(frames);
    }

private:
    PluginInstance* core_;
    std::array<float, kParameters> values_{};
    bool rolling_ = false;

    DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TwobandPlugin)
};

Plugin* createPlugin() { return new TwobandPlugin(); }

END_NAMESPACE_DISTRHO
