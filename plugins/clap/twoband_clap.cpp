// The CLAP file twoband.clap: the stereo and the mono plugin, each a DPF build of
// plugins/dpf (whose entries are renamed twoband_stereo_clap_entry and
// twoband_mono_clap_entry), joined in one plugin factory: its plugins are the stereo
// one, then the mono one, and an instance is made by the part whose ID it names.

#include "clap/entry.h"
#include "clap/plugin-factory.h"

#include <array>
#include <cstring>

extern "C" {
extern const clap_plugin_entry_t twoband_stereo_clap_entry;
extern const clap_plugin_entry_t twoband_mono_clap_entry;
}

namespace {

constexpr std::array kParts{&twoband_stereo_clap_entry, &twoband_mono_clap_entry};

const clap_plugin_factory_t* factoryOf(const clap_plugin_entry_t* part) {
    return static_cast<const clap_plugin_factory_t*>(part->get_factory(CLAP_PLUGIN_FACTORY_ID));
}

bool init(const char* path) {
    for (const clap_plugin_entry_t* part : kParts)
        if (!part->init(path)) return false;
    return true;
}

void deinit() {
    for (const clap_plugin_entry_t* part : kParts) part->deinit();
}

uint32_t pluginCount(const clap_plugin_factory_t*) {
    uint32_t count = 0;
    for (const clap_plugin_entry_t* part : kParts) count += factoryOf(part)->get_plugin_count(factoryOf(part));
    return count;
}

const clap_plugin_descriptor_t* descriptor(const clap_plugin_factory_t*, uint32_t index) {
    for (const clap_plugin_entry_t* part : kParts) {
        const clap_plugin_factory_t* factory = factoryOf(part);
        const uint32_t count = factory->get_plugin_count(factory);
        if (index < count) return factory->get_plugin_descriptor(factory, index);
        index -= count;
    }
    return nullptr;
}

const clap_plugin_t* createPlugin(const clap_plugin_factory_t*, const clap_host_t* host,
                                  const char* id) {
    for (const clap_plugin_entry_t* part : kParts) {
        const clap_plugin_factory_t* factory = factoryOf(part);
        for (uint32_t index = 0; index < factory->get_plugin_count(factory); ++index)
            if (std::strcmp(factory->get_plugin_descriptor(factory, index)->id, id) == 0)
                return factory->create_plugin(factory, host, id);
    }
    return nullptr;
}

constexpr clap_plugin_factory_t kFactory{pluginCount, descriptor, createPlugin};

const void* factory(const char* id) {
    return std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry{CLAP_VERSION, init, deinit, factory};
