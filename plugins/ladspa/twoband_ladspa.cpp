// The LADSPA face of the plugins: one descriptor per plugin, in the order of kPlugins,
// built from the metadata once, on the first call, and constant from then on.

#include <ladspa.h>

#include <array>

#include "metadata.hpp"
#include "plugin_instance.hpp"

namespace twoband_plugins {
namespace {

LADSPA_PortDescriptor portDescriptor(PortKind kind) {
    switch (kind) {
    case PortKind::controlInput: return LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL;
    case PortKind::controlOutput: return LADSPA_PORT_OUTPUT | LADSPA_PORT_CONTROL;
    case PortKind::audioInput: return LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO;
    case PortKind::audioOutput: return LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO;
    case PortKind::transport: break;  // not a LADSPA port
    }
    return 0;
}

LADSPA_PortRangeHint rangeHint(const Port& port) {
    if (port.kind != PortKind::controlInput && port.kind != PortKind::controlOutput)
        return {0, 0, 0};
    LADSPA_PortRangeHintDescriptor hint = LADSPA_HINT_BOUNDED_BELOW | LADSPA_HINT_BOUNDED_ABOVE;
    if (port.integer) hint |= LADSPA_HINT_INTEGER;
    switch (port.ladspaDefault) {
    case LadspaDefault::middleOfLogarithm:
        hint |= LADSPA_HINT_LOGARITHMIC | LADSPA_HINT_DEFAULT_MIDDLE;
        break;
    case LadspaDefault::high: hint |= LADSPA_HINT_DEFAULT_HIGH; break;
    case LadspaDefault::minimum: hint |= LADSPA_HINT_DEFAULT_MINIMUM; break;
    case LadspaDefault::none: break;
    }
    return {hint, port.minimum, port.maximum};
}

PluginInstance* instance(LADSPA_Handle handle) { return static_cast<PluginInstance*>(handle); }

template <const PluginInfo& plugin>
LADSPA_Handle instantiate(const LADSPA_Descriptor*, unsigned long) {
    // The sample rate plays no part: the compressor's time constants count frames.
    return PluginInstance::create(plugin);
}

void connectPort(LADSPA_Handle handle, unsigned long port, LADSPA_Data* data) {
    instance(handle)->connect(static_cast<std::uint32_t>(port), data);
}

void activate(LADSPA_Handle handle) { instance(handle)->restart(); }

void run(LADSPA_Handle handle, unsigned long frames) { instance(handle)->run(frames); }

void cleanup(LADSPA_Handle handle) { delete instance(handle); }

// A plugin's descriptor with the port tables it points to.
struct Plugin {
    std::array<LADSPA_PortDescriptor, kMostPorts> ports{};
    std::array<const char*, kMostPorts> names{};
    std::array<LADSPA_PortRangeHint, kMostPorts> hints{};
    LADSPA_Descriptor descriptor{};
};

template <const PluginInfo& plugin>
void describe(Plugin& out) {
    // The transport port is the last: LADSPA has none.
    const std::size_t ports = portsWithoutTransport(plugin.ports);
    for (std::size_t index = 0; index < ports; ++index) {
        out.ports[index] = portDescriptor(plugin.ports[index].kind);
        out.names[index] = plugin.ports[index].name;
        out.hints[index] = rangeHint(plugin.ports[index]);
    }
    LADSPA_Descriptor& descriptor = out.descriptor;
    descriptor.UniqueID = plugin.ladspaId;
    descriptor.Label = plugin.ladspaLabel;
    descriptor.Properties = LADSPA_PROPERTY_HARD_RT_CAPABLE;
    descriptor.Name = plugin.name(Format::ladspa);
    descriptor.Maker = kMaker;
    descriptor.Copyright = kLicence;
    descriptor.PortCount = ports;
    descriptor.PortDescriptors = out.ports.data();
    descriptor.PortNames = out.names.data();
    descriptor.PortRangeHints = out.hints.data();
    descriptor.instantiate = instantiate<plugin>;
    descriptor.connect_port = connectPort;
    descriptor.activate = activate;
    descriptor.run = run;
    descriptor.cleanup = cleanup;
}

struct Plugins {
    std::array<Plugin, kPlugins.size()> plugins;
    Plugins() {
        static_assert(kPlugins[0] == &kStereo && kPlugins[1] == &kMono);
        describe<kStereo>(plugins[0]);
        describe<kMono>(plugins[1]);
    }
};

}  // namespace
}  // namespace twoband_plugins

#ifdef _WIN32
#define TWOBAND_PLUGIN_EXPORT __declspec(dllexport)
#else
#define TWOBAND_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TWOBAND_PLUGIN_EXPORT const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    static const twoband_plugins::Plugins all;  // built once, safely across threads
    return index < all.plugins.size() ? &all.plugins[index].descriptor : nullptr;
}
