// The LV2 face of the plugins: one descriptor per plugin of the bundle, in the order
// of kPlugins. No features are required, the plugins have no latency, and run does
// nothing but read the controls and compress.

#include <lv2/core/lv2.h>

#include <iterator>

#include "metadata.hpp"
#include "plugin_instance.hpp"

namespace twoband_plugins {
namespace {

PluginInstance* instance(LV2_Handle handle) { return static_cast<PluginInstance*>(handle); }

template <const PluginInfo& plugin>
LV2_Handle instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
    // The sample rate plays no part: the compressor's time constants count frames.
    return PluginInstance::create(plugin);
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    instance(handle)->connect(port, static_cast<float*>(data));
}

void activate(LV2_Handle handle) { instance(handle)->activate(); }

void run(LV2_Handle handle, uint32_t frames) { instance(handle)->run(frames); }

void cleanup(LV2_Handle handle) { delete instance(handle); }

const void* extensionData(const char*) { return nullptr; }

template <const PluginInfo& plugin>
constexpr LV2_Descriptor descriptor{
    plugin.uri, instantiate<plugin>, connectPort, activate, run, nullptr, cleanup, extensionData};

constexpr LV2_Descriptor kDescriptors[] = {descriptor<kStereo>, descriptor<kMono>};
static_assert(std::size(kDescriptors) == kPlugins.size() &&
              kDescriptors[0].URI == kPlugins[0]->uri && kDescriptors[1].URI == kPlugins[1]->uri);

}  // namespace
}  // namespace twoband_plugins

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    using twoband_plugins::kDescriptors;
    return index < std::size(kDescriptors) ? &kDescriptors[index] : nullptr;
}
