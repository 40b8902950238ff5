// The VST3 module twoband.vst3: the stereo and the mono plugin, each a DPF build of
// plugins/dpf (whose entry points are renamed twoband_stereo_* and twoband_mono_*),
// joined in one factory: its classes are the stereo plugin's, then the mono one's,
// and an instance is made by the part whose class ID it names. VST3 is described by
// DPF's C headers ("travesty"), not Steinberg's SDK.

#include "travesty/factory.h"

#include <array>
#include <cstdint>

#ifdef _WIN32
#define TWOBAND_VST3_EXPORT extern "C" __declspec(dllexport)
#else
#define TWOBAND_VST3_EXPORT extern "C" __attribute__((visibility("default")))
#endif

extern "C" {
const void* twoband_stereo_GetPluginFactory(void);
const void* twoband_mono_GetPluginFactory(void);
#ifdef _WIN32
bool twoband_stereo_InitDll(void);
bool twoband_mono_InitDll(void);
bool twoband_stereo_ExitDll(void);
bool twoband_mono_ExitDll(void);
#else
bool twoband_stereo_ModuleEntry(void*);
bool twoband_mono_ModuleEntry(void*);
bool twoband_stereo_ModuleExit(void);
bool twoband_mono_ModuleExit(void);
#endif
}

namespace {

using Part = v3_plugin_factory_cpp**;

struct Joined {
    const v3_plugin_factory_cpp* vtable;
    std::array<Part, 2> parts;
};

Joined& joined(void* self) { return *static_cast<Joined*>(self); }

// Under Windows' COM conventions the codes do not fit v3_result's int as enumerators.
constexpr v3_result kNoInterface = static_cast<v3_result>(V3_NO_INTERFACE);
constexpr v3_result kInvalid = static_cast<v3_result>(V3_INVALID_ARG);

// The part that holds class `index`, and the index there.
Part partOf(void* self, int32_t& index) {
    for (Part part : joined(self).parts) {
        const int32_t classes = (*part)->v1.num_classes(part);
        if (index < classes) return part;
        index -= classes;
    }
    return nullptr;
}

v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** object) {
    for (const auto* known : {&v3_funknown_iid, &v3_plugin_factory_iid, &v3_plugin_factory_2_iid,
                              &v3_plugin_factory_3_iid})
        if (v3_tuid_match(iid, *known)) {
            *object = self;
            return V3_OK;
        }
    *object = nullptr;
    return kNoInterface;
}

// The joined factory lives as long as the module.
uint32_t V3_API reference(void*) { return 1; }

v3_result V3_API factoryInfo(void* self, v3_factory_info* info) {
    Part part = joined(self).parts[0];
    return (*part)->v1.get_factory_info(part, info);
}

int32_t V3_API classCount(void* self) {
    int32_t count = 0;
    for (Part part : joined(self).parts) count += (*part)->v1.num_classes(part);
    return count;
}

v3_result V3_API classInfo(void* self, int32_t index, v3_class_info* info) {
    Part part = partOf(self, index);
    if (part == nullptr) return kInvalid;
    return (*part)->v1.get_class_info(part, index, info);
}

v3_result V3_API classInfo2(void* self, int32_t index, v3_class_info_2* info) {
    Part part = partOf(self, index);
    if (part == nullptr) return kInvalid;
    return (*part)->v2.get_class_info_2(part, index, info);
}

v3_result V3_API classInfo3(void* self, int32_t index, v3_class_info_3* info) {
    Part part = partOf(self, index);
    if (part == nullptr) return kInvalid;
    return (*part)->v3.get_class_info_utf16(part, index, info);
}

v3_result V3_API createInstance(void* self, const v3_tuid classId, const v3_tuid iid, void** made) {
    for (Part part : joined(self).parts)
        if ((*part)->v1.create_instance(part, classId, iid, made) == V3_OK) return V3_OK;
    *made = nullptr;
    return kNoInterface;
}

v3_result V3_API setHostContext(void* self, v3_funknown** host) {
    for (Part part : joined(self).parts) (*part)->v3.set_host_context(part, host);
    return V3_OK;
}

v3_plugin_factory_cpp makeVtable() {
    v3_plugin_factory_cpp vtable{};
    vtable.query_interface = queryInterface;
    vtable.ref = reference;
    vtable.unref = reference;
    vtable.v1 = {factoryInfo, classCount, classInfo, createInstance};
    vtable.v2 = {classInfo2};
    vtable.v3 = {classInfo3, setHostContext};
    return vtable;
}

}  // namespace

TWOBAND_VST3_EXPORT const void* GetPluginFactory(void) {
    static const v3_plugin_factory_cpp vtable = makeVtable();
    static Joined factory{&vtable,
                          {static_cast<Part>(const_cast<void*>(twoband_stereo_GetPluginFactory())),
                           static_cast<Part>(const_cast<void*>(twoband_mono_GetPluginFactory()))}};
    return &factory;
}

#ifdef _WIN32
TWOBAND_VST3_EXPORT bool InitDll(void) { return twoband_stereo_InitDll() && twoband_mono_InitDll(); }
TWOBAND_VST3_EXPORT bool ExitDll(void) { return twoband_stereo_ExitDll() && twoband_mono_ExitDll(); }
#else
TWOBAND_VST3_EXPORT bool ModuleEntry(void* module) {
    return twoband_stereo_ModuleEntry(module) && twoband_mono_ModuleEntry(module);
}
TWOBAND_VST3_EXPORT bool ModuleExit(void) {
    return twoband_stereo_ModuleExit() && twoband_mono_ModuleExit();
}
#endif
