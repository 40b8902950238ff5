// The built LV2 and LADSPA plugin files, loaded the way a host loads them (dlopen,
// the format's descriptor, instantiate, connect, run), against the library doing the
// same on the same samples.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ladspa.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "signals.hpp"
#include "twoband/twoband.h"

namespace {

using twoband_plugins::kPlugins;
using twoband_plugins::PluginInfo;
using twoband_plugins::PortKind;
using Samples = std::vector<std::int16_t>;

enum class Format { lv2, ladspa };

const char* formatName(Format format) { return format == Format::lv2 ? "lv2" : "ladspa"; }

void* openPlugin(Format format) {
    static void* const lv2 = dlopen(TWOBAND_LV2_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    static void* const ladspa = dlopen(TWOBAND_LADSPA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    return format == Format::lv2 ? lv2 : ladspa;
}

// One instance of plugin `index` of a plugin file, through its format's descriptor.
class Hosted {
public:
    Hosted(Format format, std::size_t index) : info_(*kPlugins[index]) {
        void* library = openPlugin(format);
        if (library == nullptr) throw std::runtime_error(dlerror());
        if (format == Format::lv2) {
            auto entry =
                reinterpret_cast<LV2_Descriptor_Function>(dlsym(library, "lv2_descriptor"));
            lv2_ = entry(static_cast<std::uint32_t>(index));
            handle_ = lv2_->instantiate(lv2_, 44100.0, "", nullptr);
        } else {
            auto entry =
                reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(library, "ladspa_descriptor"));
            ladspa_ = entry(index);
            handle_ = ladspa_->instantiate(ladspa_, 44100);
        }
        if (handle_ == nullptr) throw std::runtime_error("no instance");
    }
    ~Hosted() { lv2_ ? lv2_->cleanup(handle_) : ladspa_->cleanup(handle_); }
    Hosted(const Hosted&) = delete;
    Hosted& operator=(const Hosted&) = delete;

    const PluginInfo& info() const { return info_; }
    void connect(std::uint32_t port, float* data) {
        lv2_ ? lv2_->connect_port(handle_, port, data) : ladspa_->connect_port(handle_, port, data);
    }
    void activate() { lv2_ ? lv2_->activate(handle_) : ladspa_->activate(handle_); }
    void run(std::size_t frames) {
        lv2_ ? lv2_->run(handle_, static_cast<std::uint32_t>(frames))
             : ladspa_->run(handle_, frames);
    }

    // The index of the audio port of `kind` for `channel`.
    std::uint32_t audioPort(PortKind kind, unsigned channel) const {
        for (std::uint32_t index = 0; index < info_.ports.size(); ++index)
            if (info_.ports[index].kind == kind && info_.ports[index].channel == channel)
                return index;
        throw std::logic_error("no such port");
    }

private:
    const PluginInfo& info_;
    const LV2_Descriptor* lv2_ = nullptr;
    const LADSPA_Descriptor* ladspa_ = nullptr;
    void* handle_ = nullptr;
};

struct Controls {
    float maxGain = 20.0f;
    float recoverSpeed = 8.0f;
    float feedbackSpeed = 2.0f;
};

// A host driving an instance: the controls and the meters connected once, the audio
// ports connected again before every call, as hosts do.
class Driver {
public:
    explicit Driver(Hosted& plugin) : plugin_(plugin), meters_(plugin.info().ports.size(), -1.0f) {
        plugin.connect(0, &controls.maxGain);
        plugin.connect(1, &controls.recoverSpeed);
        plugin.connect(2, &controls.feedbackSpeed);
        for (std::uint32_t index = 0; index < meters_.size(); ++index)
            if (plugin.info().ports[index].kind == PortKind::controlOutput)
                plugin.connect(index, &meters_[index]);
    }

    // Compresses interleaved samples in calls of the given sizes (repeated to the end),
    // in place or from separate input buffers.
    Samples process(const Samples& interleaved, const std::vector<std::size_t>& calls,
                    bool inPlace = false) {
        const unsigned channels = plugin_.info().channels;
        const std::size_t frames = interleaved.size() / channels;
        std::vector<std::vector<float>> in(channels, std::vector<float>(frames));
        std::vector<std::vector<float>> out(channels, std::vector<float>(frames, -2.0f));
        for (std::size_t frame = 0; frame < frames; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel)
                in[channel][frame] = interleaved[frame * channels + channel] / 32768.0f;
        std::vector<std::vector<float>>& outputs = inPlace ? in : out;
        std::size_t done = 0;
        for (std::size_t call = 0; done < frames || call == 0; ++call) {
            const std::size_t size =
                std::min(calls.empty() ? frames : calls[call % calls.size()], frames - done);
            for (unsigned channel = 0; channel < channels; ++channel) {
                plugin_.connect(plugin_.audioPort(PortKind::audioInput, channel),
                                in[channel].data() + done);
                plugin_.connect(plugin_.audioPort(PortKind::audioOutput, channel),
                                outputs[channel].data() + done);
            }
            plugin_.run(size);
            done += size;
        }
        Samples result(interleaved.size());
        for (std::size_t frame = 0; frame < frames; ++frame)
            for (unsigned channel = 0; channel < channels; ++channel) {
                const float scaled = outputs[channel][frame] * 32768.0f;
                EXPECT_EQ(scaled, std::trunc(scaled)) << "an output off the 16-bit grid";
                result[frame * channels + channel] = static_cast<std::int16_t>(scaled);
            }
        return result;
    }

    float meter(const char* symbol) const {
        for (std::size_t index = 0; index < meters_.size(); ++index)
            if (std::strcmp(plugin_.info().ports[index].symbol, symbol) == 0) return meters_[index];
        throw std::logic_error("no such meter");
    }

    Controls controls;

private:
    Hosted& plugin_;
    std::vector<float> meters_;
};

// The library on the same samples, in one call.
Samples library(Samples samples, unsigned channels, const twoband_settings& settings) {
    twoband* handle = twoband_new(&settings, channels, nullptr);
    EXPECT_EQ(twoband_process_s16(handle, samples.data(), samples.size() / channels), TWOBAND_OK);
    twoband_free(handle);
    return samples;
}

Samples music(std::size_t frames, unsigned channels) {
    const Samples stereo = signals::musicLike(frames);
    if (channels == 2) return stereo;
    Samples left(frames);
    for (std::size_t frame = 0; frame < frames; ++frame) left[frame] = stereo[2 * frame];
    return left;
}

constexpr std::size_t kFrames = 3 * signals::kSampleRate;
constexpr twoband_settings kSettings{30.0f, 4.0f, 3};

// Each test runs for both formats and both plugins.
struct Case {
    Format format;
    std::size_t plugin;
};

void PrintTo(const Case& test, std::ostream* out) {
    *out << formatName(test.format) << " " << kPlugins[test.plugin]->ladspaLabel;
}

class PluginGlue : public ::testing::TestWithParam<Case> {
protected:
    Hosted plugin{GetParam().format, GetParam().plugin};
    Driver host{plugin};
    unsigned channels = plugin.info().channels;
    Samples input = music(kFrames, channels);

    void setControls(const twoband_settings& settings) {
        host.controls = {settings.max_gain, settings.recover_speed,
                         static_cast<float>(settings.feedback_speed)};
    }
};

TEST_P(PluginGlue, AnySplitAndInPlaceBuffersGiveTheLibrarysSamples) {
    struct Row {
        const char* what;
        std::vector<std::size_t> calls;
        bool inPlace;
    };
    const Row rows[] = {
        {"one call", {}, false},
        {"one call in place", {}, true},
        {"calls of 0, 1, 7, 64, 4096 and 3 frames", {0, 1, 7, 64, 4096, 3}, false},
        {"the same in place", {0, 1, 7, 64, 4096, 3}, true},
        {"calls of one frame", {1}, false},
    };
    const Samples expected = library(input, channels, kSettings);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Hosted fresh(GetParam().format, GetParam().plugin);
        Driver driver(fresh);
        driver.controls = {30.0f, 4.0f, 3.0f};
        EXPECT_EQ(driver.process(input, row.calls, row.inPlace), expected);
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
        {{30.0f, 4.0f, 2.5f}, {30.0f, 4.0f, 3}},
        {{30.0f, 4.0f, 1.49f}, {30.0f, 4.0f, 1}},
    };
    const std::size_t half = kFrames / 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.controls.maxGain << " " << row.controls.recoverSpeed
                                        << " " << row.controls.feedbackSpeed);
        Hosted fresh(GetParam().format, GetParam().plugin);
        Driver driver(fresh);
        driver.controls = {30.0f, 4.0f, 3.0f};
        const Samples first(input.begin(), input.begin() + half * channels);
        const Samples second(input.begin() + half * channels, input.end());
        Samples got = driver.process(first, {1000});
        driver.controls = row.controls;
        const Samples rest = driver.process(second, {1000});
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

TEST_P(PluginGlue, ActivateStartsAFreshPassAndRunOfNoFramesChangesNothing) {
    setControls(kSettings);
    const Samples expected = library(input, channels, kSettings);
    host.process(music(5000, channels), {512});
    plugin.activate();
    // Calls of no frames between every call of a few.
    EXPECT_EQ(host.process(input, {0, 300, 0, 0, 41}), expected);
    plugin.activate();
    EXPECT_EQ(host.process(input, {}), expected);
}

TEST_P(PluginGlue, MetersShowTheGainsInForce) {
    // On silence every band gain recovers once per 50 frames, and the master gain
    // stays at 1; a full-scale square after the gains have risen overloads the
    // limiter, which lowers the master gain.
    struct Row {
        const char* what;
        Samples stereoInput;
        float master, highLeft, highRight, lowLeft, lowRight;
    };
    const float high = 0.4f * (8.0f / 500.0f + 1.0f);
    const float low = 0.6f * (8.0f / 800.0f + 1.0f);
    Samples square(2 * 10000);
    for (int frame = 0; frame < 60; ++frame) {
        const std::int16_t level = frame / 50 % 2 ? -32768 : 32767;
        square.insert(square.end(), {level, level});
    }
    twoband_gains loud;
    twoband* handle = twoband_new(nullptr, 2, nullptr);
    Samples copy = square;
    twoband_process_s16(handle, copy.data(), copy.size() / 2);
    twoband_get_gains(handle, 0, &loud);
    twoband_free(handle);
    ASSERT_LT(loud.master, 1.0f);
    const Row rows[] = {
        {"no frames yet", {}, 1.0f, 0.4f, 0.4f, 0.6f, 0.6f},
        {"49 frames of silence", Samples(2 * 49), 1.0f, 0.4f, 0.4f, 0.6f, 0.6f},
        {"50 frames of silence", Samples(2 * 50), 1.0f, high, high, low, low},
        {"a loud square after silence", square, loud.master, loud.high_left, loud.high_right,
         loud.low_left, loud.low_right},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Hosted fresh(GetParam().format, GetParam().plugin);
        Driver driver(fresh);
        Samples samples = row.stereoInput;
        if (channels == 1)
            for (std::size_t frame = 0; frame < samples.size() / 2; ++frame)
                samples[frame] = samples[2 * frame];
        samples.resize(samples.size() / 2 * channels);
        driver.process(samples, {});
        EXPECT_EQ(driver.meter("master_gain"), row.master);
        if (channels == 2) {
            EXPECT_EQ(driver.meter("high_gain_left"), row.highLeft);
            EXPECT_EQ(driver.meter("high_gain_right"), row.highRight);
            EXPECT_EQ(driver.meter("low_gain_left"), row.lowLeft);
            EXPECT_EQ(driver.meter("low_gain_right"), row.lowRight);
        } else {
            EXPECT_EQ(driver.meter("high_gain"), row.highLeft);
            EXPECT_EQ(driver.meter("low_gain"), row.lowLeft);
        }
    }
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return std::string(formatName(info.param.format)) + "_" +
           kPlugins[info.param.plugin]->ladspaLabel;
}

INSTANTIATE_TEST_SUITE_P(BothFormats, PluginGlue,
                         testing::Values(Case{Format::lv2, 0}, Case{Format::lv2, 1},
                                         Case{Format::ladspa, 0}, Case{Format::ladspa, 1}),
                         caseName);

TEST(PluginGlueMono, IsTheLeftOfTheStereoPluginOnTheFrameSS) {
    for (const Format format : {Format::lv2, Format::ladspa}) {
        SCOPED_TRACE(formatName(format));
        Hosted stereo(format, 0);
        Hosted mono(format, 1);
        Driver stereoHost(stereo);
        Driver monoHost(mono);
        for (Driver* driver : {&stereoHost, &monoHost}) driver->controls = {30.0f, 4.0f, 3.0f};
        const Samples left = music(kFrames, 1);
        Samples doubled;
        for (const std::int16_t sample : left) doubled.insert(doubled.end(), {sample, sample});
        const Samples both = stereoHost.process(doubled, {777});
        Samples expected(left.size());
        for (std::size_t frame = 0; frame < left.size(); ++frame) expected[frame] = both[2 * frame];
        EXPECT_EQ(monoHost.process(left, {777}), expected);
        EXPECT_EQ(monoHost.meter("high_gain"), stereoHost.meter("high_gain_left"));
    }
}

// What hosts have stored in sessions and automation: fixed from the first release.
TEST(PluginGlueIdentity, UrisLabelsIdsAndPortsAreTheReleasedOnes) {
    struct Row {
        std::size_t index;
        const char* uri;
        const char* label;
        unsigned long id;
        std::vector<std::string> symbols;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {0, "https://twoband.org/plugins/lv2/stereo", "twoband_stereo", 6411,
         {"max_gain", "recover_speed", "feedback_speed", "master_gain", "high_gain_left",
          "high_gain_right", "low_gain_left", "low_gain_right", "in_left", "in_right", "out_left",
          "out_right"},
         {"Max Gain", "Recover Speed", "Feedback Speed", "Master Gain", "High Gain Left",
          "High Gain Right", "Low Gain Left", "Low Gain Right", "In Left", "In Right", "Out Left",
          "Out Right"}},
        {1, "https://twoband.org/plugins/lv2/mono", "twoband_mono", 6412,
         {"max_gain", "recover_speed", "feedback_speed", "master_gain", "high_gain", "low_gain",
          "in", "out"},
         {"Max Gain", "Recover Speed", "Feedback Speed", "Master Gain", "High Gain", "Low Gain",
          "In", "Out"}},
    };
    auto lv2 =
        reinterpret_cast<LV2_Descriptor_Function>(dlsym(openPlugin(Format::lv2), "lv2_descriptor"));
    auto ladspa = reinterpret_cast<LADSPA_Descriptor_Function>(
        dlsym(openPlugin(Format::ladspa), "ladspa_descriptor"));
    ASSERT_TRUE(lv2 && ladspa);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_STREQ(lv2(static_cast<std::uint32_t>(row.index))->URI, row.uri);
        const LADSPA_Descriptor* descriptor = ladspa(row.index);
        EXPECT_STREQ(descriptor->Label, row.label);
        EXPECT_EQ(descriptor->UniqueID, row.id);
        ASSERT_EQ(descriptor->PortCount, row.names.size());
        for (std::size_t port = 0; port < row.names.size(); ++port) {
            EXPECT_EQ(descriptor->PortNames[port], row.names[port]);
            EXPECT_EQ(kPlugins[row.index]->ports[port].symbol, row.symbols[port]);
        }
    }
    EXPECT_EQ(lv2(2), nullptr);
    EXPECT_EQ(ladspa(2), nullptr);
}

// LADSPA has no field for a default, only hints naming a point of the range; a host
// computes it as the LADSPA header says. They must give 20 and 2; 8 cannot be named,
// so recover speed gets 7, the high point.
TEST(PluginGlueLadspa, DefaultHintsGiveTheProgramsDefaults) {
    auto entry = reinterpret_cast<LADSPA_Descriptor_Function>(
        dlsym(openPlugin(Format::ladspa), "ladspa_descriptor"));
    const float expected[] = {20.0f, 7.0f, 2.0f};
    for (unsigned long index = 0; index < kPlugins.size(); ++index) {
        const LADSPA_Descriptor* descriptor = entry(index);
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
