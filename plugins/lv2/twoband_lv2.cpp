// The LV2 face of the plugins: one descriptor per plugin of the bundle, in the order
// of kPlugins. No features are required, the plugins have no latency, and run does
// nothing but read the controls and the transport, and compress. With the host's
// urid:map, a time:Position whose speed goes from 0 to another value (the transport
// starts rolling) restarts the plugin at that event's frame.

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "metadata.hpp"
#include "plugin_instance.hpp"

namespace twoband_plugins {
namespace {

struct Instance {
    PluginInstance* core;
    std::uint32_t transportPort;
    const LV2_Atom_Sequence* transport = nullptr;
    bool mapped = false;  // the URIDs below are known
    LV2_URID atomObject = 0, atomBlank = 0, atomFloat = 0, atomDouble = 0, timePosition = 0,
             timeSpeed = 0;
    bool rolling = false;

    ~Instance() { delete core; }

    // The speed of a time:Position event, or false when the event is none.
    bool speedOf(const LV2_Atom* atom, double& speed) const {
        if (atom->type != atomObject && atom->type != atomBlank) return false;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(atom);
        if (object->body.otype != timePosition) return false;
        const LV2_Atom* value = nullptr;
        lv2_atom_object_get(object, timeSpeed, &value, 0);
        if (value == nullptr) return false;
        if (value->type == atomFloat) speed = reinterpret_cast<const LV2_Atom_Float*>(value)->body;
        else if (value->type == atomDouble) speed = reinterpret_cast<const LV2_Atom_Double*>(value)->body;
        else return false;
        return true;
    }
};

Instance* instance(LV2_Handle handle) { return static_cast<Instance*>(handle); }

template <const PluginInfo& plugin>
LV2_Handle instantiate(const LV2_Descriptor*, double, const char*,
                       const LV2_Feature* const* features) {
    // The sample rate plays no part: the compressor's time constants count frames.
    PluginInstance* core = PluginInstance::create(plugin);
    if (core == nullptr) return nullptr;
    auto* made = new (std::nothrow) Instance{core, portsWithoutTransport(plugin.ports)};
    if (made == nullptr) {
        delete core;
        return nullptr;
    }
    for (std::size_t index = 0; features != nullptr && features[index] != nullptr; ++index) {
        if (std::strcmp(features[index]->URI, LV2_URID__map) != 0) continue;
        const auto* map = static_cast<const LV2_URID_Map*>(features[index]->data);
        made->atomObject = map->map(map->handle, LV2_ATOM__Object);
        made->atomBlank = map->map(map->handle, LV2_ATOM__Blank);
        made->atomFloat = map->map(map->handle, LV2_ATOM__Float);
        made->atomDouble = map->map(map->handle, LV2_ATOM__Double);
        made->timePosition = map->map(map->handle, LV2_TIME__Position);
        made->timeSpeed = map->map(map->handle, LV2_TIME__speed);
        made->mapped = true;
    }
    return made;
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    Instance* self = instance(handle);
    if (port == self->transportPort) self->transport = static_cast<const LV2_Atom_Sequence*>(data);
    else self->core->connect(port, static_cast<float*>(data));
}

void activate(LV2_Handle handle) { instance(handle)->core->restart(); }

void run(LV2_Handle handle, uint32_t frames) {
    Instance* self = instance(handle);
    std::size_t done = 0;
    if (self->mapped && self->transport != nullptr) {
        LV2_ATOM_SEQUENCE_FOREACH(self->transport, event) {
            double speed = 0.0;
            if (!self->speedOf(&event->body, speed)) continue;
            if (!self->rolling && speed != 0.0) {
                const auto at = static_cast<std::size_t>(
                    std::clamp<int64_t>(event->time.frames, static_cast<int64_t>(done), frames));
                self->core->run(done, at - done);
                self->core->restart();
                done = at;
            }
            self->rolling = speed != 0.0;
        }
    }
    self->core->run(done, frames - done);
}

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
