// ladspa_host: the smallest LADSPA host, to run a plugin where no other host is, as
// under Wine. Loads LIBRARY, finds the plugin LABEL, sets its first three controls,
// and runs raw interleaved 16-bit little-endian samples from IN to OUT through it in
// calls of BLOCK frames (default 1000): a sample s enters as s / 32768 and leaves as
// round(y * 32768), saturated. Other output controls are connected and ignored.
// Usage: ladspa_host LIBRARY LABEL CHANNELS MAX_GAIN RECOVER_SPEED FEEDBACK_SPEED IN OUT [BLOCK]

#include <ladspa.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

LADSPA_Descriptor_Function loadEntry(const char* library) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(library);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<LADSPA_Descriptor_Function>(
        reinterpret_cast<void*>(GetProcAddress(module, "ladspa_descriptor")));
#else
    void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(module, "ladspa_descriptor"));
#endif
}

const LADSPA_Descriptor* findPlugin(LADSPA_Descriptor_Function entry, const char* label) {
    for (unsigned long index = 0;; ++index) {
        const LADSPA_Descriptor* descriptor = entry(index);
        if (descriptor == nullptr || std::strcmp(descriptor->Label, label) == 0) return descriptor;
    }
}

std::vector<std::int16_t> readSamples(const char* path) {
    std::vector<std::int16_t> samples;
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) return samples;
    unsigned char bytes[2];
    while (std::fread(bytes, 1, 2, in) == 2)
        samples.push_back(static_cast<std::int16_t>(bytes[0] | bytes[1] << 8));
    std::fclose(in);
    return samples;
}

std::int16_t toSample(float value) {
    const float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 9 && argc != 10) {
        std::fputs(
            "usage: ladspa_host LIBRARY LABEL CHANNELS MAX_GAIN RECOVER_SPEED "
            "FEEDBACK_SPEED IN OUT [BLOCK]\n",
            stderr);
        return 2;
    }
    const LADSPA_Descriptor_Function entry = loadEntry(argv[1]);
    const LADSPA_Descriptor* plugin = entry ? findPlugin(entry, argv[2]) : nullptr;
    if (plugin == nullptr) {
        std::fprintf(stderr, "ladspa_host: no plugin %s in %s\n", argv[2], argv[1]);
        return 1;
    }
    const auto channels = static_cast<unsigned long>(std::atoi(argv[3]));
    const std::size_t block = argc == 10 ? static_cast<std::size_t>(std::atol(argv[9])) : 1000;
    std::vector<std::int16_t> samples = readSamples(argv[7]);
    if (channels == 0 || block == 0 || samples.size() % channels != 0) {
        std::fputs("ladspa_host: bad channel count, block or input\n", stderr);
        return 1;
    }
    const std::size_t frames = samples.size() / channels;

    LADSPA_Handle instance = plugin->instantiate(plugin, 44100);
    if (instance == nullptr) return 1;
    std::vector<float> controls(plugin->PortCount, 0.0f);
    for (int setting = 0; setting < 3; ++setting)
        controls[setting] = std::strtof(argv[4 + setting], nullptr);
    std::vector<std::vector<float>> in(channels, std::vector<float>(block));
    std::vector<std::vector<float>> out(channels, std::vector<float>(block));
    unsigned long inputs = 0;
    unsigned long outputs = 0;
    for (unsigned long port = 0; port < plugin->PortCount; ++port) {
        const LADSPA_PortDescriptor kind = plugin->PortDescriptors[port];
        if (LADSPA_IS_PORT_CONTROL(kind))
            plugin->connect_port(instance, port, &controls[port]);
        else if (LADSPA_IS_PORT_INPUT(kind) && inputs < channels)
            plugin->connect_port(instance, port, in[inputs++].data());
        else if (LADSPA_IS_PORT_OUTPUT(kind) && outputs < channels)
            plugin->connect_port(instance, port, out[outputs++].data());
    }
    if (inputs != channels || outputs != channels) {
        std::fprintf(stderr, "ladspa_host: %s does not have %lu channels\n", argv[2], channels);
        return 1;
    }
    if (plugin->activate) plugin->activate(instance);
    for (std::size_t done = 0; done < frames; done += block) {
        const std::size_t size = std::min(block, frames - done);
        for (std::size_t frame = 0; frame < size; ++frame)
            for (unsigned long channel = 0; channel < channels; ++channel)
                in[channel][frame] = samples[(done + frame) * channels + channel] / 32768.0f;
        plugin->run(instance, size);
        for (std::size_t frame = 0; frame < size; ++frame)
            for (unsigned long channel = 0; channel < channels; ++channel)
                samples[(done + frame) * channels + channel] = toSample(out[channel][frame]);
    }
    if (plugin->deactivate) plugin->deactivate(instance);
    plugin->cleanup(instance);

    std::FILE* file = std::fopen(argv[8], "wb");
    if (file == nullptr) {
        std::perror(argv[8]);
        return 1;
    }
    bool written = true;
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        const unsigned char bytes[2] = {static_cast<unsigned char>(bits & 0xFF),
                                        static_cast<unsigned char>(bits >> 8)};
        written = written && std::fwrite(bytes, 1, 2, file) == 2;
    }
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[8]);
        return 1;
    }
    return 0;
}
