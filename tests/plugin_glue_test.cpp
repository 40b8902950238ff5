// The built LV2 and LADSPA plugin files, loaded the way a host loads them (dlopen,
// the format's descriptor, instantiate, connect, run), against the library doing the
// same on the same samples.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ladspa.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "plugin_test_quantiser.hpp"
#include "signals.hpp"
#include "twoband/twoband.h"

namespace {

using twoband_plugins::kPlugins;
using twoband_plugins::PluginInfo;
using twoband_plugins::PortKind;
using Samples = std::vector<std::int16_t>;

enum class Format { lv2, ladspa };

// A plugin of a plugin file: each PluginGlue test runs for both formats and both plugins.
struct Case {
    Format format;
    std::size_t plugin;
};

std::string caseName(const Case& test) {
    return std::string(test.format == Format::lv2 ? "lv2_" : "ladspa_") +
           kPlugins[test.plugin]->ladspaLabel;
}

void PrintTo(const Case& test, std::ostream* out) { *out << caseName(test); }

// The entry point `name` of the plugin file at `path`.
void* entryPoint(const char* path, const char* name) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw std::runtime_error(dlerror());
    void* entry = dlsym(library, name);
    if (entry == nullptr) throw std::runtime_error(std::string("no ") + name);
    return entry;
}

const LV2_Descriptor* lv2Descriptor(std::uint32_t index) {
    static const auto entry = reinterpret_cast<LV2_Descriptor_Function>(
        entryPoint(TWOBAND_LV2_PLUGIN, "lv2_descriptor"));
    return entry(index);
}

const LADSPA_Descriptor* ladspaDescriptor(unsigned long index) {
    static const auto entry = reinterpret_cast<LADSPA_Descriptor_Function>(
        entryPoint(TWOBAND_LADSPA_PLUGIN, "ladspa_descriptor"));
    return entry(index);
}

struct Controls {
    float maxGain = 20.0f;
    float recoverSpeed = 8.0f;
    float feedbackSpeed = 2.0f;
};

// The host's urid:map: a URI's number is its place in the list, from 1.
LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
    auto& uris = *static_cast<std::vector<std::string>*>(handle);
    const auto found = std::find(uris.begin(), uris.end(), uri);
    if (found == uris.end()) uris.emplace_back(uri);
    return static_cast<LV2_URID>(std::find(uris.begin(), uris.end(), uri) - uris.begin() + 1);
}

// A time:Position the host sends at a frame of the stream: the transport's speed
// from that frame on (0: stopped).
struct Position {
    std::size_t frame;
    float speed;
};

using Planes = std::vector<std::vector<float>>;

// One instance of a plugin driven as a host drives it: the controls and the meters
// connected once, the audio ports connected again before every call.
class Host {
public:
    explicit Host(const Case& test)
        : info_(*kPlugins[test.plugin]), meters_(info_.ports.size(), -1.0f) {
        if (test.format == Format::lv2) {
            lv2_ = lv2Descriptor(static_cast<std::uint32_t>(test.plugin));
            handle_ = lv2_->instantiate(lv2_, 44100.0, "", features_);
        } else {
            ladspa_ = ladspaDescriptor(test.plugin);
            handle_ = ladspa_->instantiate(ladspa_, 44100);
        }
        if (handle_ == nullptr) throw std::runtime_error("no instance");
        connect(0, &controls.maxGain);
        connect(1, &controls.recoverSpeed);
        connect(2, &controls.feedbackSpeed);
        for (std::uint32_t index = 0; index < meters_.size(); ++index)
            if (info_.ports[index].kind == PortKind::controlOutput) connect(index, &meters_[index]);
    }
    ~Host() { lv2_ ? lv2_->cleanup(handle_) : ladspa_->cleanup(handle_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    void activate() { lv2_ ? lv2_->activate(handle_) : ladspa_->activate(handle_); }

    // Compresses planar float samples in calls of the given sizes (repeated to the
    // end), in place or from separate input buffers; an LV2 plugin gets the positions
    // on its transport port, each in the call that holds its frame.
    Planes processFloat(Planes in, const std::vector<std::size_t>& calls, bool inPlace = false,
                        const std::vector<Position>& positions = {}) {
        const std::size_t frames = in[0].size();
        Planes out(in.size(), std::vector<float>(frames, -2.0f));
        Planes& outputs = inPlace ? in : out;
        std::size_t done = 0;
        for (std::size_t call = 0; done < frames || call == 0; ++call) {
            const std::size_t size =
                std::min(calls.empty() ? frames : calls[call % calls.size()], frames - done);
            for (unsigned channel = 0; channel < in.size(); ++channel) {
                connect(audioPort(PortKind::audioInput, channel), in[channel].data() + done);
                connect(audioPort(PortKind::audioOutput, channel), outputs[channel].data() + done);
            }
            if (lv2_) {
                writeTransport(positions, done, size);
                lv2_->run(handle_, static_cast<std::uint32_t>(size));
            } else {
                ladspa_->run(handle_, size);
            }
            done += size;
        }
        return outputs;
    }

    // The same for interleaved 16-bit samples, entering as s / 32768.
    Samples process(const Samples& interleaved, const std::vector<std::size_t>& calls,
                    bool inPlace = false, const std::vector<Position>& positions = {}) {
        const unsigned channels = info_.channels;
        const std::size_t frames = interleaved.size() / channels;
        Planes in(channels, std::vector<float>(frames));
        for (std::size_t frame = 0; frame < frames; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel)
                in[channel][frame] = interleaved[frame * channels + channel] / 32768.0f;
        const Planes outputs = processFloat(in, calls, inPlace, positions);
        Samples result(interleaved.size());
        for (std::size_t frame = 0; frame < frames; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel) {
                const float scaled = outputs[channel][frame] * 32768.0f;
                EXPECT_EQ(scaled, std::trunc(scaled)) << "an output off the 16-bit grid";
                result[frame * channels + channel] = static_cast<std::int16_t>(scaled);
            }
        return result;
    }

    // What the meters show, by symbol.
    std::map<std::string, float> meters() const {
        std::map<std::string, float> shown;
        for (std::size_t index = 0; index < meters_.size(); ++index)
            if (info_.ports[index].kind == PortKind::controlOutput)
                shown[info_.ports[index].symbol] = meters_[index];
        return shown;
    }

    Controls controls;

private:
    void connect(std::uint32_t port, void* data) {
        lv2_ ? lv2_->connect_port(handle_, port, data)
             : ladspa_->connect_port(handle_, port, static_cast<float*>(data));
    }

    std::uint32_t audioPort(PortKind kind, unsigned channel) const {
        for (std::uint32_t index = 0; index < info_.ports.size(); ++index)
            if (info_.ports[index].kind == kind && info_.ports[index].channel == channel)
                return index;
        throw std::logic_error("no such port");
    }

    // The positions in frames [from, from + size) as the transport port's sequence.
    void writeTransport(const std::vector<Position>& positions, std::size_t from, std::size_t size) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &map_);
        lv2_atom_forge_set_buffer(&forge, transport_.data(), transport_.size());
        LV2_Atom_Forge_Frame sequence;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        for (const Position& position : positions) {
            if (position.frame < from || position.frame >= from + size) continue;
            LV2_Atom_Forge_Frame object;
            lv2_atom_forge_frame_time(&forge, static_cast<int64_t>(position.frame - from));
            lv2_atom_forge_object(&forge, &object, 0, mapUri(&uris_, LV2_TIME__Position));
            lv2_atom_forge_key(&forge, mapUri(&uris_, LV2_TIME__speed));
            lv2_atom_forge_float(&forge, position.speed);
            lv2_atom_forge_pop(&forge, &object);
        }
        lv2_atom_forge_pop(&forge, &sequence);
        connect(static_cast<std::uint32_t>(info_.ports.size() - 1), transport_.data());
    }

    std::vector<std::string> uris_;
    LV2_URID_Map map_{&uris_, mapUri};
    const LV2_Feature mapFeature_{LV2_URID__map, &map_};
    const LV2_Feature* features_[2] = {&mapFeature_, nullptr};
    alignas(8) std::array<std::uint8_t, 4096> transport_{};
    const PluginInfo& info_;
    std::vector<float> meters_;
    const LV2_Descriptor* lv2_ = nullptr;
    const LADSPA_Descriptor* ladspa_ = nullptr;
    void* handle_ = nullptr;
};

// The library on the same samples, in one call; `gains`, when given, gets the gains
// in force after it.
Samples library(Samples samples, unsigned channels, const twoband_settings& settings,
                twoband_gains* gains = nullptr) {
    twoband* handle = twoband_new(&settings, channels, nullptr);
    EXPECT_EQ(twoband_process_s16(handle, samples.data(), samples.size() / channels), TWOBAND_OK);
    if (gains != nullptr) {
        EXPECT_EQ(twoband_get_gains(handle, 0, gains), TWOBAND_OK);
    }
    twoband_free(handle);
    return samples;
}

// Stereo samples for a plugin of `channels`: mono gets the left channel.
Samples forChannels(Samples stereo, unsigned channels) {
    if (channels == 2) return stereo;
    for (std::size_t frame = 0; frame < stereo.size() / 2; ++frame)
        stereo[frame] = stereo[2 * frame];
    stereo.resize(stereo.size() / 2);
    return stereo;
}

constexpr std::size_t kFrames = 3 * signals::kSampleRate;
constexpr twoband_settings kSettings{30.0f, 4.0f, 3};
constexpr Controls kControls{30.0f, 4.0f, 3.0f};

class PluginGlue : public ::testing::TestWithParam<Case> {
protected:
    unsigned channels = kPlugins[GetParam().plugin]->channels;
    Samples input = forChannels(signals::musicLike(kFrames), channels);
};

TEST_P(PluginGlue, AnySplitInPlaceBuffersAndActivateGiveTheLibrarysSamples) {
    // Each row: the calls, and the frames a row's instance has run before an activate
    // (which starts a new pass with the settings kept).
    struct Row {
        const char* what;
        std::vector<std::size_t> calls;
        bool inPlace;
        std::size_t framesBeforeActivate;
    };
    const Row rows[] = {
        {"one call", {}, false, 0},
        {"one call in place", {}, true, 0},
        {"calls of 0, 1, 7, 64, 4096 and 3 frames", {0, 1, 7, 64, 4096, 3}, false, 0},
        {"the same in place", {0, 1, 7, 64, 4096, 3}, true, 0},
        {"activate after 5000 frames, then calls of 0, 300, 0, 0 and 41 frames",
         {0, 300, 0, 0, 41}, false, 5000},
        {"activate after the whole input, then one call", {}, false, kFrames},
    };
    const Samples expected = library(input, channels, kSettings);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Host host(GetParam());
        host.controls = kControls;
        if (row.framesBeforeActivate > 0) {
            const std::size_t before = row.framesBeforeActivate * channels;
            host.process(Samples(input.begin(), input.begin() + before), {512});
            host.activate();
        }
        EXPECT_EQ(host.process(input, row.calls, row.inPlace), expected);
    }
}

TEST_P(PluginGlue, ControlsTakeEffectFromTheNextCall) {
    // Each row: the controls a host sets before the second half, and the settings the
    // plugin must run with: out-of-range values taken as the nearest bound, the
    // feedback speed as the nearest whole number, a value that is not a number kept.
    struct Row {
        Controls controls;
        twoband_settings expected;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const Row rows[] = {
        {{60.0f, 2.5f, 4.0f}, {60.0f, 2.5f, 4}},
        {{1000.0f, 0.5f, 9.0f}, {100.0f, 1.0f, 4}},
        {{-5.0f, 12.0f, 0.0f}, {4.0f, 9.0f, 1}},
        {{infinity, -infinity, 2.4f}, {100.0f, 1.0f, 2}},
        {{nan, nan, nan}, kSettings},
        {{nan, 6.0f, 1.0f}, {30.0f, 6.0f, 1}},
        {{50.0f, nan, nan}, {50.0f, 4.0f, 3}},
        {{30.0f, 4.0f, 2.5f}, {30.0f, 4.0f, 3}},
        {{30.0f, 4.0f, 1.49f}, {30.0f, 4.0f, 1}},
    };
    const std::size_t half = kFrames / 2;
    const Samples first(input.begin(), input.begin() + half * channels);
    const Samples second(input.begin() + half * channels, input.end());
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.controls.maxGain << " " << row.controls.recoverSpeed
                                        << " " << row.controls.feedbackSpeed);
        Host host(GetParam());
        host.controls = kControls;
        Samples got = host.process(first, {1000});
        host.controls = row.controls;
        const Samples rest = host.process(second, {1000});
        got.insert(got.end(), rest.begin(), rest.end());

        Samples expected = input;
        twoband* handle = twoband_new(&kSettings, channels, nullptr);
        twoband_process_s16(handle, expected.data(), half);
        ASSERT_EQ(twoband_set_settings(handle, &row.expected), TWOBAND_OK);
        twoband_process_s16(handle, expected.data() + half * channels, kFrames - half);
        twoband_free(handle);
        EXPECT_EQ(got, expected);
    }
}

TEST_P(PluginGlue, MetersShowTheGainsInForce) {
    // On silence every band gain recovers once per 50 frames, and the master gain
    // stays at 1; a full-scale square after the gains have risen overloads the
    // limiter, which lowers the master gain. Rows without fixed values take the
    // library's gains on the same input: a square on the right alone sets the right
    // meters apart from the left ones.
    struct Row {
        const char* what;
        Samples stereoInput;
        std::optional<twoband_gains> fixed;
    };
    const float high = 0.4f * (8.0f / 500.0f + 1.0f);
    const float low = 0.6f * (8.0f / 800.0f + 1.0f);
    Samples square(2 * 10000);
    Samples rightSquare(2 * 10000);
    for (int frame = 0; frame < 60; ++frame) {
        const std::int16_t level = frame / 50 % 2 ? -32768 : 32767;
        square.insert(square.end(), {level, level});
        rightSquare.insert(rightSquare.end(), {0, level});
    }
    const Row rows[] = {
        {"no frames yet", {}, twoband_gains{1.0f, 0.4f, 0.4f, 0.6f, 0.6f}},
        {"49 frames of silence", Samples(2 * 49), twoband_gains{1.0f, 0.4f, 0.4f, 0.6f, 0.6f}},
        {"50 frames of silence", Samples(2 * 50), twoband_gains{1.0f, high, high, low, low}},
        {"a loud square after silence", square, std::nullopt},
        {"a loud square on the right alone", rightSquare, std::nullopt},
    };
    for (const Row& row : rows) {
        const Samples samples = forChannels(row.stereoInput, channels);
        twoband_gains expected;
        if (row.fixed) expected = *row.fixed;
        else library(samples, channels, TWOBAND_SETTINGS_DEFAULT, &expected);
        Host host(GetParam());
        host.process(samples, {});
        const std::map<std::string, float> shown = host.meters();
        const std::map<std::string, float> wanted =
            channels == 2 ? std::map<std::string, float>{{"master_gain", expected.master},
                                                         {"high_gain_left", expected.high_left},
                                                         {"high_gain_right", expected.high_right},
                                                         {"low_gain_left", expected.low_left},
                                                         {"low_gain_right", expected.low_right}}
                          : std::map<std::string, float>{{"master_gain", expected.master},
                                                         {"high_gain", expected.high_left},
                                                         {"low_gain", expected.low_left}};
        SCOPED_TRACE(row.what);
        EXPECT_EQ(shown, wanted);
    }
    twoband_gains loud;
    twoband_gains apart;
    library(square, 2, TWOBAND_SETTINGS_DEFAULT, &loud);
    library(rightSquare, 2, TWOBAND_SETTINGS_DEFAULT, &apart);
    EXPECT_LT(loud.master, 1.0f) << "the square overloads the limiter";
    EXPECT_NE(apart.high_left, apart.high_right) << "the right-alone row tells the sides apart";
}

// Floats off the 16-bit grid are brought to it as the program brings them (TPDF
// dither from a fixed seed, in frame order), from a fresh quantiser at activate; on
// the grid they pass exactly (every other test).
TEST_P(PluginGlue, FloatsOffTheGridAreQuantisedAsTheProgramDoes) {
    const Samples samples = input;
    Planes floats(channels, std::vector<float>(samples.size() / channels));
    for (std::size_t index = 0; index < samples.size(); ++index)
        floats[index % channels][index / channels] =
            (samples[index] + (index % 3 == 0 ? 0.0f : index % 3 == 1 ? 0.25f : 0.5f)) / 32768.0f;
    const Samples expected = library(quantisedFrames(floats), channels, kSettings);
    Host host(GetParam());
    host.controls = kControls;
    host.processFloat(floats, {333});
    host.activate();
    const Planes out = host.processFloat(floats, {64, 1, 4096});
    Samples got;
    for (std::size_t frame = 0; frame < out[0].size(); ++frame)
        for (unsigned channel = 0; channel < channels; ++channel)
            got.push_back(static_cast<std::int16_t>(out[channel][frame] * 32768.0f));
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, PluginGlue,
                         testing::Values(Case{Format::lv2, 0}, Case{Format::lv2, 1},
                                         Case{Format::ladspa, 0}, Case{Format::ladspa, 1}),
                         [](const testing::TestParamInfo<Case>& test) {
                             return caseName(test.param);
                         });

TEST(PluginGlueMono, IsTheLeftOfTheStereoPluginOnTheFrameSS) {
    const Samples left = forChannels(signals::musicLike(kFrames), 1);
    Samples doubled;
    for (const std::int16_t sample : left) doubled.insert(doubled.end(), {sample, sample});
    for (const Format format : {Format::lv2, Format::ladspa}) {
        SCOPED_TRACE(caseName({format, 1}));
        Host stereo({format, 0});
        Host mono({format, 1});
        stereo.controls = mono.controls = kControls;
        const Samples both = stereo.process(doubled, {777});
        EXPECT_EQ(mono.process(left, {777}), forChannels(both, 1));
        EXPECT_EQ(mono.meters().at("high_gain"), stereo.meters().at("high_gain_left"));
    }
}

// An LV2 host's transport starting to roll (a time:Position whose speed goes from 0
// to another value) starts the plugin afresh at that position's frame, so a render
// from there gives the program's output of the audio from there; a position while
// rolling, or one that stops, changes nothing.
TEST(PluginGlueLv2, TransportStartingToRollStartsAfresh) {
    struct Row {
        const char* what;
        std::vector<Position> positions;
        std::vector<std::size_t> restarts;  // the frames the library starts afresh at
    };
    const Row rows[] = {
        {"stopped, then rolling from frame 70000", {{0, 0.0f}, {70000, 1.0f}}, {70000}},
        {"rolling from the start: a fresh plugin already", {{0, 1.0f}}, {}},
        {"rolling, stopped at 20000, rolling again at 20001",
         {{0, 1.0f}, {20000, 0.0f}, {20001, 1.0f}}, {20001}},
        {"positions while rolling", {{0, 1.0f}, {5000, 1.0f}, {9000, 2.0f}}, {}},
        {"stopped twice, then rolling backwards at 4097", {{1, 0.0f}, {4000, 0.0f}, {4097, -1.0f}},
         {4097}},
    };
    for (std::size_t plugin = 0; plugin < kPlugins.size(); ++plugin) {
        const unsigned channels = kPlugins[plugin]->channels;
        const Samples input = forChannels(signals::musicLike(kFrames), channels);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(kPlugins[plugin]->ladspaLabel) + ": " + row.what);
            Samples expected;
            std::size_t from = 0;
            for (std::size_t end : row.restarts) {
                const Samples part = library(
                    Samples(input.begin() + from * channels, input.begin() + end * channels),
                    channels, kSettings);
                expected.insert(expected.end(), part.begin(), part.end());
                from = end;
            }
            const Samples rest = library(Samples(input.begin() + from * channels, input.end()),
                                         channels, kSettings);
            expected.insert(expected.end(), rest.begin(), rest.end());
            Host host({Format::lv2, plugin});
            host.controls = kControls;
            EXPECT_EQ(host.process(input, {4096, 1, 999}, false, row.positions), expected);
        }
    }
}

// What hosts have stored in sessions and automation: fixed from the first release.
TEST(PluginGlueIdentity, UrisLabelsIdsAndPortsAreTheReleasedOnes) {
    struct Row {
        std::size_t index;
        const char* uri;
        const char* label;
        unsigned long id;
        const char* clapId;
        std::uint32_t vst3Id;  // the class ID's third word, after DPF's 'DPF ' 'clas'
        std::vector<std::string> symbols;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {0, "https://twoband.org/plugins/lv2/stereo", "twoband_stereo", 6411, "org.twoband.stereo",
         0x74625374,
         {"max_gain", "recover_speed", "feedback_speed", "master_gain", "high_gain_left",
          "high_gain_right", "low_gain_left", "low_gain_right", "in_left", "in_right", "out_left",
          "out_right"},
         {"Max Gain", "Recover Speed", "Feedback Speed", "Master Gain", "High Gain Left",
          "High Gain Right", "Low Gain Left", "Low Gain Right", "In Left", "In Right", "Out Left",
          "Out Right"}},
        {1, "https://twoband.org/plugins/lv2/mono", "twoband_mono", 6412, "org.twoband.mono",
         0x74624D6F,
         {"max_gain", "recover_speed", "feedback_speed", "master_gain", "high_gain", "low_gain",
          "in", "out"},
         {"Max Gain", "Recover Speed", "Feedback Speed", "Master Gain", "High Gain", "Low Gain",
          "In", "Out"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_STREQ(lv2Descriptor(static_cast<std::uint32_t>(row.index))->URI, row.uri);
        const LADSPA_Descriptor* descriptor = ladspaDescriptor(row.index);
        EXPECT_STREQ(descriptor->Label, row.label);
        EXPECT_EQ(descriptor->UniqueID, row.id);
        EXPECT_STREQ(kPlugins[row.index]->clapId, row.clapId);
        EXPECT_EQ(kPlugins[row.index]->vst3Id, row.vst3Id);
        ASSERT_EQ(descriptor->PortCount, row.names.size());
        for (std::size_t port = 0; port < row.names.size(); ++port) {
            EXPECT_EQ(descriptor->PortNames[port], row.names[port]);
            EXPECT_EQ(kPlugins[row.index]->ports[port].symbol, row.symbols[port]);
        }
    }
    EXPECT_EQ(lv2Descriptor(2), nullptr);
    EXPECT_EQ(ladspaDescriptor(2), nullptr);
}

// LADSPA has no field for a default, only hints naming a point of the range; a host
// computes it as the LADSPA header says. They must give 20 and 2; 8 cannot be named,
// so recover speed gets 7, the high point.
TEST(PluginGlueLadspa, DefaultHintsGiveTheProgramsDefaults) {
    const float expected[] = {20.0f, 7.0f, 2.0f};
    for (unsigned long index = 0; index < kPlugins.size(); ++index) {
        const LADSPA_Descriptor* descriptor = ladspaDescriptor(index);
        for (int port = 0; port < 3; ++port) {
            SCOPED_TRACE(descriptor->PortNames[port]);
            const LADSPA_PortRangeHint hint = descriptor->PortRangeHints[port];
            const double lower = hint.LowerBound;
            const double upper = hint.UpperBound;
            const bool logarithmic = LADSPA_IS_HINT_LOGARITHMIC(hint.HintDescriptor);
            double value = std::numeric_limits<double>::quiet_NaN();
            if (LADSPA_IS_HINT_DEFAULT_MIDDLE(hint.HintDescriptor))
                value = logarithmic ? std::exp(std::log(lower) * 0.5 + std::log(upper) * 0.5)
                                    : lower * 0.5 + upper * 0.5;
            if (LADSPA_IS_HINT_DEFAULT_HIGH(hint.HintDescriptor))
                value = logarithmic ? std::exp(std::log(lower) * 0.25 + std::log(upper) * 0.75)
                                    : lower * 0.25 + upper * 0.75;
            EXPECT_EQ(static_cast<float>(value), expected[port]);
            EXPECT_TRUE(LADSPA_IS_HINT_BOUNDED_BELOW(hint.HintDescriptor) &&
                        LADSPA_IS_HINT_BOUNDED_ABOVE(hint.HintDescriptor));
            EXPECT_EQ(LADSPA_IS_HINT_INTEGER(hint.HintDescriptor) != 0, port == 2);
        }
        EXPECT_TRUE(LADSPA_IS_HARD_RT_CAPABLE(descriptor->Properties));
        EXPECT_FALSE(LADSPA_IS_INPLACE_BROKEN(descriptor->Properties));
    }
}

}  // namespace
