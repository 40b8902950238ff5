// plugin_host: the project's own CLAP and VST3 host, built on the formats' C headers
// (CLAP's, and DPF's "travesty" for VST3), to run a plugin where no other host is
// (as under Wine) and to check what hosts do to it. Loads MODULE, makes the plugin
// NAME (a CLAP ID, or a VST3 class name), checks it has CHANNELS audio channels, and
// runs raw interleaved 16-bit little-endian samples from IN to OUT through it: a
// sample s enters as s / 32768 and leaves as round(y * 32768), saturated.
//
//   --set MAX RECOVER FEEDBACK  the first three parameters, as a host's automation
//   --program N                 the factory preset N (VST3: the program parameter)
//   --blocks SEED               calls of random sizes, 1 to 4096 frames (else 1000)
//   --state                     set up an instance, save its state, and run a new
//                               instance with the state restored instead
//   --idle FRAMES               first FRAMES of silence with the transport stopped,
//                               then the input with it rolling (as a DAW plays)
//   --block FRAMES              calls of FRAMES frames
//   --time                      prints the processor time of the input's calls
// FORMAT "library" runs the library's float call (twoband_process_f32) in the same
// calls instead, MODULE and NAME unused: the reference for the plugins' speed.
// Usage: plugin_host clap|vst3|library MODULE NAME CHANNELS IN OUT [OPTIONS]

#include "clap/entry.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"
#include "twoband/twoband.h"

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
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void* symbol(const char* module, const char* name) {
#ifdef _WIN32
    HMODULE library = LoadLibraryA(module);
    return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
#else
    void* library = dlopen(module, RTLD_NOW | RTLD_LOCAL);
    return library ? dlsym(library, name) : nullptr;
#endif
}

void require(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error(what);
}

// A plugin as this host drives it, whatever the format.
class Plugin {
public:
    virtual ~Plugin() = default;
    virtual unsigned channels() = 0;
    // Takes effect from the next call of process.
    virtual void set(unsigned setting, double value) = 0;
    virtual void program(unsigned index) = 0;
    virtual void process(float** in, float** out, std::uint32_t frames, bool rolling) = 0;
    virtual std::string saveState() = 0;
    virtual void loadState(const std::string& state) = 0;
};

// ---- CLAP

const void* noExtension(const clap_host_t*, const char*) { return nullptr; }
void nothing(const clap_host_t*) {}
const clap_host_t kClapHost{CLAP_VERSION, nullptr, "twoband plugin_host", "twoband", "", "1",
                            noExtension, nothing, nothing, nothing};

class ClapPlugin : public Plugin {
public:
    ClapPlugin(const char* module, const char* id) {
        const auto* entry = static_cast<const clap_plugin_entry_t*>(symbol(module, "clap_entry"));
        require(entry && entry->init(module), "no CLAP entry");
        const auto* factory =
            static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
        require(factory, "no CLAP plugin factory");
        plugin_ = factory->create_plugin(factory, &kClapHost, id);
        require(plugin_ && plugin_->init(plugin_), std::string("no CLAP plugin ") + id);
        params_ = static_cast<const clap_plugin_params_t*>(plugin_->get_extension(plugin_, CLAP_EXT_PARAMS));
        state_ = static_cast<const clap_plugin_state_t*>(plugin_->get_extension(plugin_, CLAP_EXT_STATE));
        ports_ = static_cast<const clap_plugin_audio_ports_t*>(
            plugin_->get_extension(plugin_, CLAP_EXT_AUDIO_PORTS));
        require(params_ && state_ && ports_, "the plugin lacks params, state or audio ports");
        for (std::uint32_t index = 0; index < params_->count(plugin_); ++index) {
            clap_param_info_t info;
            if (params_->get_info(plugin_, index, &info) && !(info.flags & CLAP_PARAM_IS_READONLY))
                settings_.push_back(info.id);
        }
        require(plugin_->activate(plugin_, 44100.0, 1, 4096) && plugin_->start_processing(plugin_),
                "the plugin does not start");
        channelCount_ = channels();
    }
    ~ClapPlugin() override {
        plugin_->stop_processing(plugin_);
        plugin_->deactivate(plugin_);
        plugin_->destroy(plugin_);
    }

    unsigned channels() override {
        clap_audio_port_info_t in, out;
        require(ports_->get(plugin_, 0, true, &in) && ports_->get(plugin_, 0, false, &out),
                "no audio ports");
        return in.channel_count == out.channel_count ? in.channel_count : 0;
    }

    void set(unsigned setting, double value) override {
        require(setting < settings_.size(), "too few parameters");
        clap_event_param_value_t event{};
        event.header = {sizeof event, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        event.param_id = settings_[setting];
        event.note_id = -1;
        event.port_index = event.channel = event.key = -1;
        event.value = value;
        pending_.push_back(event);
    }

    void program(unsigned) override { throw std::runtime_error("CLAP: no presets here"); }

    void process(float** in, float** out, std::uint32_t frames, bool rolling) override {
        clap_event_transport_t transport{};
        transport.header = {sizeof transport, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
        transport.flags = rolling ? CLAP_TRANSPORT_IS_PLAYING : 0;
        clap_audio_buffer_t input{in, nullptr, channelCount_, 0, 0};
        clap_audio_buffer_t output{out, nullptr, channelCount_, 0, 0};
        const clap_input_events_t events{this, eventCount, eventAt};
        const clap_output_events_t discard{this, [](const clap_output_events_t*, const clap_event_header_t*) {
                                               return true;
                                           }};
        const clap_process_t call{-1, frames, &transport, &input, &output, 1, 1, &events, &discard};
        require(plugin_->process(plugin_, &call) != CLAP_PROCESS_ERROR, "process failed");
        pending_.clear();
    }

    std::string saveState() override {
        std::string state;
        const clap_ostream_t stream{&state, [](const clap_ostream_t* self, const void* data, uint64_t size) {
                                        static_cast<std::string*>(self->ctx)->append(
                                            static_cast<const char*>(data), size);
                                        return static_cast<int64_t>(size);
                                    }};
        require(state_->save(plugin_, &stream), "state not saved");
        return state;
    }

    void loadState(const std::string& state) override {
        std::string rest = state;
        const clap_istream_t stream{&rest, [](const clap_istream_t* self, void* data, uint64_t size) {
                                        auto& left = *static_cast<std::string*>(self->ctx);
                                        const std::size_t count = std::min<std::size_t>(size, left.size());
                                        std::memcpy(data, left.data(), count);
                                        left.erase(0, count);
                                        return static_cast<int64_t>(count);
                                    }};
        require(state_->load(plugin_, &stream), "state not loaded");
    }

private:
    static std::uint32_t eventCount(const clap_input_events_t* list) {
        return static_cast<std::uint32_t>(static_cast<ClapPlugin*>(list->ctx)->pending_.size());
    }
    static const clap_event_header_t* eventAt(const clap_input_events_t* list, std::uint32_t index) {
        return &static_cast<ClapPlugin*>(list->ctx)->pending_[index].header;
    }

    const clap_plugin_t* plugin_ = nullptr;
    const clap_plugin_params_t* params_ = nullptr;
    const clap_plugin_state_t* state_ = nullptr;
    const clap_plugin_audio_ports_t* ports_ = nullptr;
    std::vector<clap_id> settings_;
    std::vector<clap_event_param_value_t> pending_;
    std::uint32_t channelCount_ = 0;
};

// ---- VST3

v3_result V3_API noInterface(void*, const v3_tuid, void** object) {
    *object = nullptr;
    return static_cast<v3_result>(V3_NO_INTERFACE);  // beyond int as an enumerator on Windows
}
uint32_t V3_API oneReference(void*) { return 1; }

// One parameter's change at the start of a call.
struct Queue {
    const v3_param_value_queue_cpp* vtable;
    v3_param_id id;
    double value;
};

const v3_param_value_queue_cpp kQueue = [] {
    v3_param_value_queue_cpp vtable{};
    vtable.query_interface = noInterface;
    vtable.ref = vtable.unref = oneReference;
    vtable.queue.get_param_id = [](void* self) V3_API { return static_cast<Queue*>(self)->id; };
    vtable.queue.get_point_count = [](void*) V3_API { return int32_t{1}; };
    vtable.queue.get_point = [](void* self, int32_t, int32_t* offset, double* value) V3_API {
        *offset = 0;
        *value = static_cast<Queue*>(self)->value;
        return v3_result{V3_OK};
    };
    vtable.queue.add_point = [](void* self, int32_t, double value, int32_t* index) V3_API {
        static_cast<Queue*>(self)->value = value;  // a meter: the last value kept
        if (index) *index = 0;
        return v3_result{V3_OK};
    };
    return vtable;
}();

struct Changes {
    const v3_param_changes_cpp* vtable;
    std::vector<Queue> queues;
};

const v3_param_changes_cpp kChanges = [] {
    v3_param_changes_cpp vtable{};
    vtable.query_interface = noInterface;
    vtable.ref = vtable.unref = oneReference;
    vtable.changes.get_param_count = [](void* self) V3_API {
        return static_cast<int32_t>(static_cast<Changes*>(self)->queues.size());
    };
    vtable.changes.get_param_data = [](void* self, int32_t index) V3_API {
        return reinterpret_cast<v3_param_value_queue**>(&static_cast<Changes*>(self)->queues[index]);
    };
    vtable.changes.add_param_data = [](void* self, v3_param_id* id, int32_t* index) V3_API {
        std::vector<Queue>& queues = static_cast<Changes*>(self)->queues;
        if (queues.size() == queues.capacity()) return static_cast<v3_param_value_queue**>(nullptr);
        queues.push_back({&kQueue, *id, 0.0});
        if (index) *index = static_cast<int32_t>(queues.size() - 1);
        return reinterpret_cast<v3_param_value_queue**>(&queues.back());
    };
    return vtable;
}();

// A stream in memory, for the state.
struct StreamVtable : v3_funknown {
    v3_bstream stream;
};
struct Stream {
    const StreamVtable* vtable;
    std::string data;
    std::size_t at = 0;
};

const StreamVtable kStream = [] {
    StreamVtable vtable{};
    vtable.query_interface = noInterface;
    vtable.ref = vtable.unref = oneReference;
    vtable.stream.read = [](void* self, void* buffer, int32_t size, int32_t* done) V3_API {
        Stream& stream = *static_cast<Stream*>(self);
        const std::size_t count = std::min<std::size_t>(size, stream.data.size() - stream.at);
        std::memcpy(buffer, stream.data.data() + stream.at, count);
        stream.at += count;
        if (done) *done = static_cast<int32_t>(count);
        return v3_result{V3_OK};
    };
    vtable.stream.write = [](void* self, void* buffer, int32_t size, int32_t* done) V3_API {
        static_cast<Stream*>(self)->data.append(static_cast<const char*>(buffer), size);
        if (done) *done = size;
        return v3_result{V3_OK};
    };
    vtable.stream.seek = [](void* self, int64_t position, int32_t mode, int64_t* result) V3_API {
        Stream& stream = *static_cast<Stream*>(self);
        const int64_t base = mode == 0 ? 0 : mode == 1 ? static_cast<int64_t>(stream.at)
                                                       : static_cast<int64_t>(stream.data.size());
        stream.at = static_cast<std::size_t>(std::clamp<int64_t>(base + position, 0, stream.data.size()));
        if (result) *result = static_cast<int64_t>(stream.at);
        return v3_result{V3_OK};
    };
    vtable.stream.tell = [](void* self, int64_t* position) V3_API {
        *position = static_cast<int64_t>(static_cast<Stream*>(self)->at);
        return v3_result{V3_OK};
    };
    return vtable;
}();

template <typename Interface>
Interface** query(void* object, const v3_tuid iid) {
    void* found = nullptr;
    auto** known = static_cast<v3_funknown**>(object);
    return (*known)->query_interface(object, iid, &found) == V3_OK ? static_cast<Interface**>(found)
                                                                  : nullptr;
}

class Vst3Plugin : public Plugin {
public:
    Vst3Plugin(const char* module, const char* name) {
#ifdef _WIN32
        auto* init = reinterpret_cast<bool (*)()>(symbol(module, "InitDll"));
        require(init && init(), "InitDll failed");
#else
        auto* init = reinterpret_cast<bool (*)(void*)>(symbol(module, "ModuleEntry"));
        require(init && init(nullptr), "ModuleEntry failed");
#endif
        auto* get = reinterpret_cast<const void* (*)()>(symbol(module, "GetPluginFactory"));
        require(get, "no GetPluginFactory");
        auto** factory = static_cast<v3_plugin_factory_cpp**>(const_cast<void*>(get()));
        for (int32_t index = 0; index < (*factory)->v1.num_classes(factory); ++index) {
            v3_class_info info;
            (*factory)->v1.get_class_info(factory, index, &info);
            if (std::strcmp(info.name, name) != 0 || std::strcmp(info.category, "Audio Module Class") != 0)
                continue;
            void* made = nullptr;
            require((*factory)->v1.create_instance(factory, info.class_id, v3_component_iid, &made) == V3_OK,
                    "no instance");
            component_ = static_cast<v3_component_cpp**>(made);
        }
        require(component_ != nullptr, std::string("no VST3 class ") + name);
        require((*component_)->base.initialize(component_, nullptr) == V3_OK, "not initialised");
        processor_ = query<v3_audio_processor_cpp>(component_, v3_audio_processor_iid);
        controller_ = query<v3_edit_controller_cpp>(component_, v3_edit_controller_iid);
        require(processor_ && controller_, "no processor or controller in the component");
        for (int32_t index = 0; index < (*controller_)->ctrl.get_parameter_count(controller_); ++index) {
            v3_param_info info;
            (*controller_)->ctrl.get_parameter_info(controller_, index, &info);
            if (info.flags & V3_PARAM_PROGRAM_CHANGE) programParameter_ = info.param_id;
            else if (!(info.flags & (V3_PARAM_READ_ONLY | V3_PARAM_IS_HIDDEN))) settings_.push_back(info.param_id);
        }
        for (int32_t direction : {V3_INPUT, V3_OUTPUT})
            (*component_)->comp.activate_bus(component_, V3_AUDIO, direction, 0, true);
        v3_process_setup setup{V3_OFFLINE, V3_SAMPLE_32, 4096, 44100.0};
        require((*processor_)->proc.setup_processing(processor_, &setup) == V3_OK &&
                    (*component_)->comp.set_active(component_, true) == V3_OK,
                "the plugin does not start");
        (*processor_)->proc.set_processing(processor_, true);
        channelCount_ = static_cast<int32_t>(channels());
    }
    ~Vst3Plugin() override {
        (*processor_)->proc.set_processing(processor_, false);
        (*component_)->comp.set_active(component_, false);
        (*component_)->base.terminate(component_);
        for (void* object : {static_cast<void*>(controller_), static_cast<void*>(processor_),
                             static_cast<void*>(component_)})
            (*static_cast<v3_funknown**>(object))->unref(object);
    }

    unsigned channels() override {
        v3_bus_info in, out;
        require((*component_)->comp.get_bus_info(component_, V3_AUDIO, V3_INPUT, 0, &in) == V3_OK &&
                    (*component_)->comp.get_bus_info(component_, V3_AUDIO, V3_OUTPUT, 0, &out) == V3_OK,
                "no audio buses");
        return in.channel_count == out.channel_count ? static_cast<unsigned>(in.channel_count) : 0;
    }

    void set(unsigned setting, double value) override {
        require(setting < settings_.size(), "too few parameters");
        const v3_param_id id = settings_[setting];
        changes_.queues.push_back(
            {&kQueue, id, (*controller_)->ctrl.plain_parameter_to_normalised(controller_, id, value)});
    }

    void program(unsigned index) override {
        // As a host's program list does: through the edit controller.
        require(programParameter_ != kNone, "no program parameter");
        const double normalised =
            (*controller_)->ctrl.plain_parameter_to_normalised(controller_, programParameter_, index);
        require((*controller_)->ctrl.set_parameter_normalised(controller_, programParameter_, normalised) == V3_OK,
                "no such program");
    }

    void process(float** in, float** out, std::uint32_t frames, bool rolling) override {
        const int32_t count = channelCount_;
        v3_audio_bus_buffers input{count, 0, {in}};
        v3_audio_bus_buffers output{count, 0, {out}};
        v3_process_context context{};
        context.state = rolling ? V3_PROCESS_CTX_PLAYING : 0;
        context.sample_rate = 44100.0;
        auto* changes = reinterpret_cast<v3_param_changes**>(&changes_);
        // The meters come back as output parameters; room for every parameter.
        Changes meters{&kChanges, {}};
        meters.queues.reserve(64);
        v3_process_data data{V3_OFFLINE, V3_SAMPLE_32, static_cast<int32_t>(frames), 1, 1, &input, &output,
                             changes, reinterpret_cast<v3_param_changes**>(&meters), nullptr, nullptr,
                             &context};
        require((*processor_)->proc.process(processor_, &data) == V3_OK, "process failed");
        changes_.queues.clear();
    }

    std::string saveState() override {
        Stream stream{&kStream, {}};
        auto* pointer = reinterpret_cast<v3_bstream**>(&stream);
        require((*component_)->comp.get_state(component_, pointer) == V3_OK, "state not saved");
        return stream.data;
    }

    void loadState(const std::string& state) override {
        Stream stream{&kStream, state};
        auto* pointer = reinterpret_cast<v3_bstream**>(&stream);
        require((*component_)->comp.set_state(component_, pointer) == V3_OK, "state not loaded");
        stream.at = 0;
        (*controller_)->ctrl.set_component_state(controller_, pointer);
    }

private:
    static constexpr v3_param_id kNone = 0xFFFFFFFF;
    v3_component_cpp** component_ = nullptr;
    v3_audio_processor_cpp** processor_ = nullptr;
    v3_edit_controller_cpp** controller_ = nullptr;
    std::vector<v3_param_id> settings_;
    v3_param_id programParameter_ = kNone;
    Changes changes_{&kChanges, {}};
    int32_t channelCount_ = 0;
};

// ---- The library itself, for the speed's reference.

class Library : public Plugin {
public:
    explicit Library(unsigned channels) : handle_(twoband_new(nullptr, channels, nullptr)), channels_(channels) {
        require(handle_ != nullptr, "no library handle");
    }
    ~Library() override { twoband_free(handle_); }
    unsigned channels() override { return channels_; }
    void set(unsigned setting, double value) override {
        if (setting == 0) settings_.max_gain = static_cast<float>(value);
        if (setting == 1) settings_.recover_speed = static_cast<float>(value);
        if (setting == 2) settings_.feedback_speed = static_cast<int>(value);
        require(twoband_set_settings(handle_, &settings_) == TWOBAND_OK, "settings refused");
    }
    void program(unsigned) override { throw std::runtime_error("the library has no programs"); }
    void process(float** in, float** out, std::uint32_t frames, bool) override {
        require(twoband_process_f32(handle_, in, out, frames) == TWOBAND_OK, "process failed");
    }
    std::string saveState() override { throw std::runtime_error("the library has no state"); }
    void loadState(const std::string&) override {}

private:
    twoband* handle_;
    unsigned channels_;
    twoband_settings settings_ = TWOBAND_SETTINGS_DEFAULT;
};

std::unique_ptr<Plugin> load(const std::string& format, const char* module, const char* name,
                             unsigned channels) {
    if (format == "library") return std::make_unique<Library>(channels);
    if (format == "clap") return std::make_unique<ClapPlugin>(module, name);
    if (format == "vst3") return std::make_unique<Vst3Plugin>(module, name);
    throw std::runtime_error("unknown format " + format);
}

std::vector<std::int16_t> readSamples(const char* path) {
    std::vector<std::int16_t> samples;
    std::FILE* in = std::fopen(path, "rb");
    require(in != nullptr, std::string("cannot read ") + path);
    unsigned char bytes[2];
    while (std::fread(bytes, 1, 2, in) == 2)
        samples.push_back(static_cast<std::int16_t>(bytes[0] | bytes[1] << 8));
    std::fclose(in);
    return samples;
}

void writeSamples(const char* path, const std::vector<std::int16_t>& samples) {
    std::FILE* out = std::fopen(path, "wb");
    require(out != nullptr, std::string("cannot write ") + path);
    bool written = true;
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        const unsigned char bytes[2] = {static_cast<unsigned char>(bits & 0xFF),
                                        static_cast<unsigned char>(bits >> 8)};
        written = written && std::fwrite(bytes, 1, 2, out) == 2;
    }
    require(std::fclose(out) == 0 && written, std::string("cannot write ") + path);
}

std::int16_t toSample(float value) {
    const float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// Runs interleaved samples through the plugin in calls of the sizes `next` gives.
// `seconds`, when given, gets the time of the plugin's calls alone.
template <typename Sizes>
std::vector<std::int16_t> run(Plugin& plugin, std::vector<std::int16_t> samples, unsigned channels,
                              bool rolling, Sizes next, double* seconds = nullptr) {
    std::vector<std::vector<float>> in(channels, std::vector<float>(4096));
    std::vector<std::vector<float>> out(channels, std::vector<float>(4096));
    std::vector<float*> inputs, outputs;
    for (unsigned channel = 0; channel < channels; ++channel) {
        inputs.push_back(in[channel].data());
        outputs.push_back(out[channel].data());
    }
    const std::size_t frames = samples.size() / channels;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t size = std::min<std::size_t>(next(), frames - done);
        for (std::size_t frame = 0; frame < size; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel)
                in[channel][frame] = samples[(done + frame) * channels + channel] / 32768.0f;
        const std::clock_t start = std::clock();
        plugin.process(inputs.data(), outputs.data(), static_cast<std::uint32_t>(size), rolling);
        if (seconds) *seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        for (std::size_t frame = 0; frame < size; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel)
                samples[(done + frame) * channels + channel] = toSample(out[channel][frame]);
        done += size;
    }
    return samples;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 7) {
        std::fputs("usage: plugin_host clap|vst3|library MODULE NAME CHANNELS IN OUT [--set MAX RECOVER"
                   " FEEDBACK] [--program N] [--blocks SEED] [--state] [--idle FRAMES] [--block FRAMES]"
                   " [--time]\n", stderr);
        return 2;
    }
    try {
        const unsigned channels = static_cast<unsigned>(std::atoi(argv[4]));
        std::vector<double> settings;
        long program = -1;
        unsigned long seed = 0;
        bool state = false;
        std::size_t idle = 0;
        std::size_t block = 1000;
        bool time = false;
        for (int index = 7; index < argc; ++index) {
            const std::string option = argv[index];
            auto value = [&] {
                require(index + 1 < argc, option + " needs a value");
                return argv[++index];
            };
            if (option == "--set") for (int setting = 0; setting < 3; ++setting) settings.push_back(std::strtod(value(), nullptr));
            else if (option == "--program") program = std::atol(value());
            else if (option == "--blocks") seed = std::strtoul(value(), nullptr, 10);
            else if (option == "--state") state = true;
            else if (option == "--idle") idle = std::strtoul(value(), nullptr, 10);
            else if (option == "--block") block = std::strtoul(value(), nullptr, 10);
            else if (option == "--time") time = true;
            else throw std::runtime_error("unknown option " + option);
        }
        std::unique_ptr<Plugin> plugin = load(argv[1], argv[2], argv[3], channels);
        require(plugin->channels() == channels,
                "the plugin has " + std::to_string(plugin->channels()) + " channels, not " + argv[4]);
        for (std::size_t setting = 0; setting < settings.size(); ++setting) plugin->set(setting, settings[setting]);
        if (program >= 0) plugin->program(static_cast<unsigned>(program));
        if (state) {
            // The settings reach the plugin with a call; its state then goes to a new one.
            run(*plugin, std::vector<std::int16_t>(channels), channels, false, [] { return 1; });
            const std::string saved = plugin->saveState();
            plugin.reset();
            plugin = load(argv[1], argv[2], argv[3], channels);
            plugin->loadState(saved);
        }
        // A fixed generator, so that a seed gives the same calls everywhere.
        std::uint64_t random = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        auto sizes = [&]() -> std::size_t {
            if (seed == 0) return block;
            random = random * 6364136223846793005ULL + 1442695040888963407ULL;
            return 1 + (random >> 33) % 4096;
        };
        if (idle > 0) run(*plugin, std::vector<std::int16_t>(idle * channels), channels, false, sizes);
        const std::vector<std::int16_t> samples = readSamples(argv[5]);
        require(channels > 0 && samples.size() % channels == 0, "bad channel count or input");
        require(block > 0 && block <= 4096, "a block is 1 to 4096 frames");
        double seconds = 0.0;
        writeSamples(argv[6], run(*plugin, samples, channels, true, sizes, &seconds));
        if (time) std::printf("%.6f s in the calls\n", seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plugin_host: %s\n", error.what());
        return 1;
    }
    return 0;
}
