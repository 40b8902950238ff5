#pragma once

// One instance of a twoband plugin, whatever the format: the ports a host connects,
// the library handle, the settings in force, and the quantiser that takes the host's
// float samples to 16 bits. The format glue only turns its format's calls into these.

#include <stddef.h>  // before the library's header, which is read inside a namespace below
#include <stdint.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/quantiser.hpp"
#include "metadata.hpp"

// The quantiser's namespace and the C API's handle type share the name twoband, which
// C++ does not allow in one scope: the library's header is read inside the plugins'
// namespace. Its functions keep their C names and linkage there.
namespace twoband_plugins {
#include "twoband/twoband.h"
}

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
    // have, and the transport port (the glue reads it), are ignored.
    void connect(std::uint32_t index, float* data);

    // Back to the state of a new instance, keeping the settings: the compressor's and
    // the dither's. What a host's activate, and its transport starting to roll, do.
    void restart();

    // Reads the controls, then compresses frames [first, first + frames) of the
    // connected inputs to the same frames of the outputs (which may be the same
    // buffers) and sets the meters. A sample x enters as the 16-bit sample the
    // quantiser makes of x * 32768 (exact on the grid, dithered off it) and leaves as
    // y / 32768. Any count, 0 included; allocates nothing, takes no lock.
    void run(std::size_t first, std::size_t frames);
    void run(std::size_t frames) { run(0, frames); }

private:
    PluginInstance(const PluginInfo& plugin, twoband* handle);

    static constexpr unsigned kMostChannels = 2;
    // Frames per call of the library: the 16-bit samples live in the instance.
    static constexpr std::size_t kBlockFrames = 256;

    const PluginInfo& plugin_;
    twoband* handle_;
    twoband_settings settings_ = TWOBAND_SETTINGS_DEFAULT;
    std::array<float*, kMostPorts> ports_{};
    ::twoband::Quantiser quantiser_;
    std::array<std::int16_t, kBlockFrames * kMostChannels> block_{};
};

}  // namespace twoband_plugins
