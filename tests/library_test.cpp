// The library's checks (library_cases.c, C through the C API only) run on inputs and
// expected samples made here: the engine's, with its literal kernel, which are the
// program's own output files where the settings stay.

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/channel_engine.hpp"
#include "library_cases.h"
#include "signals.hpp"
#include "test_support.hpp"

namespace {

using Samples = std::vector<std::int16_t>;

static_assert(std::endian::native == std::endian::little, "samples in memory are the bytes of a file's samples");

std::span<std::uint8_t> bytesOf(Samples& samples) {
    return {reinterpret_cast<std::uint8_t*>(samples.data()), samples.size() * sizeof samples[0]};
}

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

std::string settingText(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

// The program's output samples for `samples` as a WAV file of `channels` channels.
Samples programOutput(Samples samples, unsigned channels, const library_settings& settings) {
    testing_support::TempDir dir;
    testing_support::WavBuilder builder;
    builder.format(1, static_cast<std::uint16_t>(channels), 16);
    const std::size_t begin = builder.nextPayload();
    testing_support::writeFile(dir / "in.wav", builder.chunk("data", bytesOf(samples)).bytes());
    const testing_support::RunResult run =
        testing_support::runTwoband(dir.path(), {"in.wav", settingText(settings.max_gain),
                                                 settingText(settings.recover_speed),
                                                 std::to_string(settings.feedback_speed)});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.output.find("User defined settings:"), std::string::npos) << run.output;
    const testing_support::Bytes output = testing_support::readFile(dir / "Cin.wav");
    if (output.size() < begin + bytesOf(samples).size()) return {};
    std::memcpy(samples.data(), output.data() + begin, bytesOf(samples).size());
    return samples;
}

twoband::Settings engineSettings(const library_settings& settings) {
    return {settings.max_gain, settings.recover_speed, settings.feedback_speed};
}

// The engine's literal kernel over `samples`, with `changes` applied as the library is
// to apply them (a refused change keeps the settings in force); the gains of each pair
// after the last frame go to `gains`.
Samples engineOutput(Samples samples, unsigned channels, const library_settings& first,
                     const std::vector<library_change>& changes, std::vector<library_gains>* gains = nullptr) {
    twoband::ChannelEngine engine(engineSettings(first), static_cast<std::uint16_t>(channels), twoband::processFrames,
                                  1024);
    const std::size_t frameBytes = engine.frameBytes();
    std::size_t done = 0;
    for (std::size_t change = 0; change <= changes.size(); ++change) {
        const std::size_t until = change < changes.size() ? changes[change].from : samples.size() / channels;
        engine.process(bytesOf(samples).subspan(done * frameBytes, (until - done) * frameBytes));
        done = until;
        if (change < changes.size() && changes[change].code == 0) engine.setSettings(engineSettings(changes[change].settings));
    }
    for (std::size_t pair = 0; gains != nullptr && pair < engine.pairs(); ++pair) {
        const twoband::EngineState& state = engine.pairState(pair);
        gains->push_back({state.masterGain, state.gainHL, state.gainHR, state.gainLL, state.gainLR});
    }
    return samples;
}

// Other settings on every frame from `first` until `until`.
std::vector<library_change> everyFrame(std::size_t first, std::size_t until) {
    std::vector<library_change> changes;
    for (std::size_t frame = first; frame < until; ++frame) {
        changes.push_back({frame, {frame % 2 == 0 ? 4.0f : 100.0f, 1.0f + frame % 9, 1 + static_cast<int>(frame % 4)}, 0});
    }
    return changes;
}

struct StreamCase {
    const char* name;
    unsigned channels;
    double seconds;
    library_settings settings;
    std::vector<library_change> changes;  // none: the samples are the program's
};

TEST(Library, GivesTheProgramsSamplesHoweverCalledAndSettingsChangedFromTheNextFrame) {
    const library_settings defaults{20.0f, 8.0f, 2};
    const StreamCase cases[] = {
        {"stereo", 2, 12.0, defaults, {}},
        {"stereo, other settings", 2, 6.0, {57.3f, 2.5f, 3}, {}},
        {"stereo, the lowest settings", 2, 3.0, {4.0f, 1.0f, 1}, {}},
        {"mono", 1, 8.0, {100.0f, 9.0f, 4}, {}},
        {"3 channels", 3, 3.0, defaults, {}},
        {"6 channels", 6, 4.0, defaults, {}},
        {"the shortest file the program takes", 2, 0.114, defaults, {}},
        {"stereo, settings changed", 2, 6.0, defaults,
         {{1000, {4.0f, 9.0f, 4}, 0},
          {50000, {3.0f, 9.0f, 4}, 2},  // refused: the settings in force stay
          {50001, {100.0f, 1.0f, 1}, 0},
          {120000, {100.0f, 1.0f, 1}, 0},
          {200000, {20.0f, 8.0f, 2}, 0},
          {200001, {20.0f, 8.0f, 9}, 4}}},
        {"stereo, settings changed on every frame for a while", 2, 6.0, defaults, everyFrame(5000, 7000)},
        {"mono, settings changed", 1, 6.0, defaults,
         {{30000, {4.0f, 1.0f, 1}, 0}, {90000, {50.0f, 0.5f, 3}, 3}, {150000, {60.0f, 5.0f, 3}, 0}}},
        {"6 channels, settings changed", 6, 6.0, defaults, {{2, {100.0f, 9.0f, 4}, 0}, {70001, {4.0f, 1.0f, 2}, 0}}},
    };
    unsigned seed = 1;
    for (const StreamCase& c : cases) {
        const auto frames = static_cast<std::size_t>(c.seconds * signals::kSampleRate);
        const Samples input = channelsSignal(c.channels, frames);
        std::vector<library_gains> gains;
        const Samples expected = engineOutput(input, c.channels, c.settings, c.changes, &gains);
        if (c.changes.empty()) {
            ASSERT_EQ(programOutput(input, c.channels, c.settings), expected)
                << c.name << ": the engine and the program disagree";
        } else {
            ASSERT_NE(engineOutput(input, c.channels, c.settings, {}), expected)
                << c.name << ": the changes change nothing";
        }
        const library_stream stream{input.data(), expected.data(), frames, c.channels, c.settings,
                                    c.changes.data(), c.changes.size(), gains.data(), seed++};
        EXPECT_STREQ(check_stream(&stream), "") << c.name;
    }
}

TEST(Library, FloatsEnterAsTheirNearestSampleAndLeaveExactly) { EXPECT_STREQ(check_float_edges(), ""); }

// TWOBAND_ERROR_NO_MEMORY has a test binary of its own (library_no_memory_test.cpp).
TEST(Library, DitheredFloatsAreTheSameHoweverTheCallsSplitThem) { EXPECT_STREQ(check_dither_splits(), ""); }

TEST(Library, EveryErrorCodeFromEveryCallThatGivesIt) { EXPECT_STREQ(check_errors(), ""); }

TEST(Library, VersionIsTheHeadersAndTheBuilds) { EXPECT_STREQ(check_version(TWOBAND_LIBRARY_VERSION), ""); }

}  // namespace
