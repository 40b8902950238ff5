// The library's checks (library_cases.c, C through the C API only) run on inputs and
// expected samples made here: the program's own output for each channel layout, and the
// engine's, with its literal kernel, for streams whose settings change.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "engine/channel_engine.hpp"
#include "library_cases.h"
#include "signals.hpp"
#include "test_support.hpp"

namespace {

// While set, every allocation in the process fails, the library's included.
std::atomic<bool> failingAllocations{false};

void* allocate(std::size_t size, std::size_t alignment) {
    if (failingAllocations) throw std::bad_alloc();
    size = size == 0 ? 1 : size;
    void* memory = alignment <= alignof(std::max_align_t)
                       ? std::malloc(size)
                       : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

namespace {

using testing_support::Bytes;
using Samples = std::vector<std::int16_t>;

constexpr std::size_t kFailureText = 512;

// `frames` interleaved frames of `channels` channels: pairs of music, loud bursts and
// the mixed signal in turn, an odd last channel the left of its pair's source.
Samples channelsSignal(unsigned channels, std::size_t frames) {
    const signals::Samples sources[] = {signals::mixed(frames), signals::loudBursts(frames), signals::musicLike(frames)};
    Samples samples;
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) samples.push_back(sources[c / 2 % 3][2 * f + c % 2]);
    }
    return samples;
}

Bytes littleEndian(const Samples& samples) {
    Bytes bytes;
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)});
    }
    return bytes;
}

Samples fromLittleEndian(const std::uint8_t* bytes, std::size_t count) {
    Samples samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    return samples;
}

std::string settingText(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// The program's output samples for `input` as a WAV file of `channels` channels.
Samples programOutput(const Samples& input, unsigned channels, const library_settings& settings) {
    testing_support::TempDir dir;
    testing_support::WavBuilder builder;
    builder.format(1, static_cast<std::uint16_t>(channels), 16);
    const std::size_t begin = builder.nextPayload();
    testing_support::writeFile(dir / "in.wav", builder.chunk("data", littleEndian(input)).bytes());
    const testing_support::RunResult run =
        testing_support::runTwoband(dir.path(), {"in.wav", settingText(settings.max_gain),
                                                 settingText(settings.recover_speed),
                                                 std::to_string(settings.feedback_speed)});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.output.find("User defined settings:"), std::string::npos) << run.output;
    const Bytes output = testing_support::readFile(dir / "Cin.wav");
    if (output.size() < begin + 2 * input.size()) return {};
    return fromLittleEndian(output.data() + begin, input.size());
}

twoband::Settings engineSettings(const library_settings& settings) {
    return {settings.max_gain, settings.recover_speed, settings.feedback_speed};
}

// The engine's literal kernel over `samples` in place, with `changes` applied as the
// library is to apply them (a refused change keeps the settings in force).
void engineOutput(Samples& samples, unsigned channels, const library_settings& first,
                  const std::vector<library_change>& changes, std::vector<library_gains>* gains = nullptr) {
    twoband::ChannelEngine engine(engineSettings(first), static_cast<std::uint16_t>(channels), twoband::processFrames,
                                  1024);
    Bytes bytes = littleEndian(samples);
    const std::size_t frameBytes = engine.frameBytes();
    std::size_t done = 0;
    for (std::size_t change = 0; change <= changes.size(); ++change) {
        const std::size_t until = change < changes.size() ? changes[change].from : samples.size() / channels;
        engine.process(std::span<std::uint8_t>(bytes).subspan(done * frameBytes, (until - done) * frameBytes));
        done = until;
        if (change < changes.size() && changes[change].code == 0) engine.setSettings(engineSettings(changes[change].settings));
    }
    samples = fromLittleEndian(bytes.data(), samples.size());
    for (std::size_t pair = 0; gains != nullptr && pair < engine.pairs(); ++pair) {
        const twoband::EngineState& state = engine.pairState(pair);
        gains->push_back({state.masterGain, state.gainHL, state.gainHR, state.gainLL, state.gainLR});
    }
}

struct StreamCase {
    const char* name;
    unsigned channels;
    double seconds;
    library_settings settings;
};

TEST(Library, GivesTheProgramsSamplesInOneCallAndInCallsOfAnySize) {
    const StreamCase cases[] = {
        {"stereo", 2, 12.0, {20.0f, 8.0f, 2}},
        {"stereo, other settings", 2, 6.0, {57.3f, 2.5f, 3}},
        {"stereo, the lowest settings", 2, 3.0, {4.0f, 1.0f, 1}},
        {"mono", 1, 8.0, {100.0f, 9.0f, 4}},
        {"3 channels", 3, 3.0, {20.0f, 8.0f, 2}},
        {"6 channels", 6, 4.0, {20.0f, 8.0f, 2}},
        {"the shortest file the program takes", 2, 0.114, {20.0f, 8.0f, 2}},
    };
    unsigned seed = 1;
    for (const StreamCase& c : cases) {
        const auto frames = static_cast<std::size_t>(c.seconds * signals::kSampleRate);
        const Samples input = channelsSignal(c.channels, frames);
        const Samples expected = programOutput(input, c.channels, c.settings);
        ASSERT_EQ(expected.size(), input.size()) << c.name;
        Samples engine = input;
        std::vector<library_gains> gains;
        engineOutput(engine, c.channels, c.settings, {}, &gains);
        ASSERT_EQ(engine, expected) << c.name << ": the engine and the program disagree";
        char failure[kFailureText] = "";
        EXPECT_EQ(check_stream(input.data(), expected.data(), frames, c.channels, c.settings, gains.data(), seed++,
                               failure, sizeof failure),
                  0)
            << c.name << ": " << failure;
    }
}

struct ChangesCase {
    const char* name;
    unsigned channels;
    std::vector<library_change> changes;
};

TEST(Library, SettingsChangedBetweenCallsActFromTheNextFrame) {
    const library_settings defaults{20.0f, 8.0f, 2};
    const ChangesCase cases[] = {
        {"stereo",
         2,
         {{1000, {4.0f, 9.0f, 4}, 0},
          {50000, {3.0f, 9.0f, 4}, 2},  // refused: the settings in force stay
          {50001, {100.0f, 1.0f, 1}, 0},
          {120000, {100.0f, 1.0f, 1}, 0},
          {200000, {20.0f, 8.0f, 2}, 0},
          {200001, {20.0f, 8.0f, 9}, 4}}},
        {"every frame for a while", 2, {}},
        {"mono", 1, {{30000, {4.0f, 1.0f, 1}, 0}, {90000, {50.0f, 0.5f, 3}, 3}, {150000, {60.0f, 5.0f, 3}, 0}}},
        {"6 channels", 6, {{2, {100.0f, 9.0f, 4}, 0}, {70001, {4.0f, 1.0f, 2}, 0}}},
    };
    unsigned seed = 100;
    for (ChangesCase c : cases) {
        if (c.changes.empty()) {
            for (std::size_t frame = 5000; frame < 7000; ++frame) {
                c.changes.push_back({frame, {frame % 2 == 0 ? 4.0f : 100.0f, 1.0f + frame % 9, 1 + static_cast<int>(frame % 4)}, 0});
            }
        }
        const std::size_t frames = 6 * signals::kSampleRate;
        const Samples input = channelsSignal(c.channels, frames);
        Samples expected = input;
        engineOutput(expected, c.channels, defaults, c.changes);
        Samples unchanged = input;
        engineOutput(unchanged, c.channels, defaults, {});
        ASSERT_NE(expected, unchanged) << c.name << ": the changes must change the samples";
        char failure[kFailureText] = "";
        EXPECT_EQ(check_settings_changes(input.data(), expected.data(), frames, c.channels, defaults, c.changes.data(),
                                         c.changes.size(), seed++, failure, sizeof failure),
                  0)
            << c.name << ": " << failure;
    }
}

TEST(Library, FloatsEnterAsTheirNearestSampleAndLeaveExactly) {
    char failure[kFailureText] = "";
    EXPECT_EQ(check_float_edges(failure, sizeof failure), 0) << failure;
}

TEST(Library, EveryErrorCodeFromEveryCallThatGivesIt) {
    char failure[kFailureText] = "";
    EXPECT_EQ(check_errors(failure, sizeof failure), 0) << failure;
    failingAllocations = true;
    const int noMemory = check_no_memory(failure, sizeof failure);
    failingAllocations = false;
    EXPECT_EQ(noMemory, 0) << failure;
}

TEST(Library, VersionIsTheHeadersAndTheBuilds) {
    char failure[kFailureText] = "";
    EXPECT_EQ(check_version(TWOBAND_LIBRARY_VERSION, failure, sizeof failure), 0) << failure;
}

}  // namespace
