#pragma once

// One instance of a twoband plugin, whatever the format: the ports a host connects,
// the library handle, and the settings in force. The LV2 and LADSPA glue only turn
// their format's calls into these.

#include <array>
#include <cstddef>
#include <cstdint>

#include "metadata.hpp"
#include "twoband/twoband.h"

namespace twoband_plugins {

// The settings a host's control values ask for, read the way every plugin reads
// them: a value outside its range is taken as the nearest bound, the feedback speed
// as the nearest whole number (halves up), and a value that is not a number (or a
// control the host did not connect) keeps the setting in force.
twoband_settings settingsFromControls(const float* const controls[kSettingsPorts],
                                      const twoband_settings& inForce);

class PluginInstance {
public:
    // A fresh instance with the default settings, or null when there is no memory.
    static PluginInstance* create(const PluginInfo& plugin);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    // Where port `index` reads or writes from now on; an index the plugin does not
    // have is ignored.
    void connect(std::uint32_t index, float* data);

    // Back to the state of a new instance, keeping the settings.
    void activate();

    // Reads the controls, then compresses `frames` frames from the inputs to the
    // outputs (which may be the same buffers) and sets the meters. Any count,
    // 0 included; allocates nothing, takes no lock.
    void run(std::size_t frames);

private:
    PluginInstance(const PluginInfo& plugin, twoband* handle);

    const PluginInfo& plugin_;
    twoband* handle_;
    twoband_settings settings_ = TWOBAND_SETTINGS_DEFAULT;
    std::array<float*, kMostPorts> ports_{};
};

}  // namespace twoband_plugins
