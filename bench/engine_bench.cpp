// Engine speed: ns per frame and MB/s of the literal and the fast kernel side by side,
// and their ratio; whole passes over a mono and a stereo file; on three minutes of each
// generated signal and, when the machine has them, on real recordings: the music of
// Debian's fb-music-high package (or the .ogg files of TWOBAND_BENCH_MUSIC, a folder),
// decoded with ffmpeg. Then the library, through its C API, in calls of 1 to 65536
// frames against the engine's whole pass over the same ten minutes of stereo.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_pass.hpp"
#include "engine/fast_path.hpp"
#include "engine/gain_control.hpp"
#include "library_calls.h"
#include "signals.hpp"

namespace {

constexpr std::size_t kFrames = 3 * 60 * signals::kSampleRate;  // three minutes
constexpr int kRepetitions = 5;

using Signals = std::map<std::string, std::vector<std::uint8_t>>;

// The first three minutes of a recording as a plain WAV file, decoded by ffmpeg;
// nothing if it cannot be decoded.
std::vector<std::uint8_t> decoded(const std::filesystem::path& recording) {
    const std::string command = "ffmpeg -v error -i '" + recording.string() +
                                "' -f s16le -ac 2 -ar 44100 -t 180 - 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    signals::Samples samples;
    std::int16_t buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, sizeof buffer[0], 4096, pipe)) > 0;) {
        samples.insert(samples.end(), buffer, buffer + got);
    }
    if (pclose(pipe) != 0 || samples.size() < 2 * signals::kSampleRate) return {};
    samples.resize(samples.size() / 2 * 2);
    return signals::wavFile(samples);
}

// Real music to run, by name: the .ogg files of at least 1 MB in the folder given.
Signals recordings(const std::filesystem::path& folder) {
    Signals found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() != ".ogg" || entry.file_size(error) < (1u << 20)) continue;
        std::vector<std::uint8_t> wav = decoded(entry.path());
        if (!wav.empty()) found.emplace(entry.path().stem().string(), std::move(wav));
    }
    return found;
}

Signals& signalCache() {
    static Signals cache;
    return cache;
}

const std::vector<std::uint8_t>& signal(const std::string& kind) {
    Signals& cache = signalCache();
    auto found = cache.find(kind);
    if (found == cache.end()) {
        found = cache.emplace(kind, signals::wavFile(signals::byName(kind, kFrames))).first;
    }
    return found->second;
}

void runKernel(benchmark::State& state, const std::string& kind, twoband::FrameKernel kernel) {
    const std::vector<std::uint8_t>& input = signal(kind);
    std::vector<std::uint8_t> work(input.size());
    const twoband::KernelRules rules = twoband::makeKernelRules({});
    const std::span<std::uint8_t> frames =
        std::span<std::uint8_t>(work).subspan(twoband::kHeaderBytes);
    for (auto _ : state) {
        state.PauseTiming();
        work = input;
        state.ResumeTiming();
        twoband::EngineState engine;
        kernel(engine, rules, frames);
        benchmark::DoNotOptimize(work.data());
    }
    const auto frameCount = static_cast<std::int64_t>(frames.size() / twoband::kFrameBytes);
    state.SetItemsProcessed(state.iterations() * frameCount);  // frames per second
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames.size()));
}

// The same minutes of music as a file of `channels` channels through a whole engine
// pass, as the program runs it: "stereo" (3 minutes), "mono" (the left channel of 6
// minutes: the same byte length) and "doubled" (that mono channel in both sides of a
// stereo file: the engine's work on mono without the split and the merge).
std::vector<std::uint8_t> passInput(const std::string& layout) {
    if (layout == "stereo") return signal("music");
    const signals::Samples music = signals::musicLike(2 * kFrames);
    signals::Samples samples;
    for (std::size_t i = 0; i < music.size(); i += 2) {
        samples.push_back(music[i]);
        if (layout == "doubled") samples.push_back(music[i]);
    }
    return signals::wavFile(samples);
}

struct NoProgress final : twoband::ProgressOutput {
    void progress(std::string_view) override {}
};

// Whole passes of the engine over `input`, `channels` to a frame, as the program runs
// a file; each pass on a fresh copy, not timed.
void timePasses(benchmark::State& state, const std::vector<std::uint8_t>& input, std::uint16_t channels) {
    std::vector<std::uint8_t> work(input.size());
    NoProgress progress;
    for (auto _ : state) {
        state.PauseTiming();
        work = input;
        state.ResumeTiming();
        twoband::EnginePass pass({}, twoband::canonicalSamples(work.size()), channels, progress,
                                 twoband::bestFrameKernel());
        pass.process(work, 0);
        benchmark::DoNotOptimize(work.data());
    }
}

void runPass(benchmark::State& state, const std::string& layout) {
    const std::vector<std::uint8_t> input = passInput(layout);
    timePasses(state, input, layout == "mono" ? 1 : twoband::kStereoChannels);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

constexpr std::size_t kLibraryFrames = 10 * 60 * signals::kSampleRate;  // ten minutes

// The library's samples: ten minutes of music, stereo.
const signals::Samples& libraryInput() {
    static const signals::Samples samples = signals::musicLike(kLibraryFrames);
    return samples;
}

// The engine's whole pass over the library's samples, as the program runs a file.
void runWholePass(benchmark::State& state) {
    timePasses(state, signals::wavFile(libraryInput()), twoband::kStereoChannels);
}

void runLibraryS16(benchmark::State& state, std::size_t block) {
    signals::Samples work(libraryInput().size());
    for (auto _ : state) {
        state.PauseTiming();
        work = libraryInput();
        state.ResumeTiming();
        if (library_stereo_s16(work.data(), kLibraryFrames, block) != 0) state.SkipWithError("a call failed");
        benchmark::DoNotOptimize(work.data());
    }
}

void runLibraryF32(benchmark::State& state, std::size_t block) {
    std::vector<float> left(kLibraryFrames), right(kLibraryFrames), outLeft(kLibraryFrames), outRight(kLibraryFrames);
    for (std::size_t f = 0; f < kLibraryFrames; ++f) {
        left[f] = libraryInput()[2 * f] / 32768.0f;
        right[f] = libraryInput()[2 * f + 1] / 32768.0f;
    }
    const float* const in[] = {left.data(), right.data()};
    float* const out[] = {outLeft.data(), outRight.data()};
    for (auto _ : state) {
        if (library_stereo_f32(in, out, kLibraryFrames, block) != 0) state.SkipWithError("a call failed");
        benchmark::DoNotOptimize(outLeft.data());
    }
}

// The library's cases, by name, and the share of the whole pass's time each may take.
struct LibraryCase {
    const char* name;
    bool floats;
    std::size_t block;
    double target;
};
constexpr LibraryCase kLibraryCases[] = {
    {"library/s16-65536", false, 65536, 1.05}, {"library/s16-1024", false, 1024, 1.05},
    {"library/s16-64", false, 64, 1.3},        {"library/s16-1", false, 1, 5.0},
    {"library/f32-1024", true, 1024, 1.3},
};

// Remembers each run's time per iteration to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    void printRatios(const std::vector<std::string>& kinds) {
        std::printf("\nmedians of %d runs, up to 3 minutes at 44.1 kHz each\n", kRepetitions);
        std::printf("%-22s %14s %14s %8s\n", "signal", "literal ns/fr", "fast ns/fr", "ratio");
        for (const std::string& kind : kinds) {
            const auto literal = times_.find("literal/" + kind);
            const auto fast = times_.find("fast/" + kind);
            if (literal == times_.end() || fast == times_.end()) continue;
            const double frames = static_cast<double>(signal(kind).size() - twoband::kHeaderBytes) /
                                  twoband::kFrameBytes;
            const double perFrame = 1e6 / frames;  // times are in ms
            std::printf("%-22s %14.2f %14.2f %8.2f\n", kind.c_str(), literal->second * perFrame,
                        fast->second * perFrame, fast->second / literal->second);
            ratios_[kind] = fast->second / literal->second;
        }
    }

    // A mono file against a stereo file of the same byte length (about twice the engine
    // work), and the split and merge against the same work done in place.
    void printChannels() const {
        const auto stereo = times_.find("pass/stereo");
        const auto mono = times_.find("pass/mono");
        const auto doubled = times_.find("pass/doubled");
        if (stereo == times_.end() || mono == times_.end() || doubled == times_.end()) return;
        std::printf("\nwhole passes, ms: stereo %.1f, mono of the same byte length %.1f (%.2f times),\n"
                    "the mono samples doubled into a stereo file %.1f\n",
                    stereo->second, mono->second, mono->second / stereo->second, doubled->second);
        const double overhead = mono->second / doubled->second - 1.0;
        std::printf("target mono split and merge at most 15%% on top of the engine: %.1f%% %s\n",
                    100.0 * overhead, overhead <= 0.15 ? "met" : "MISSED");
    }

    // The targets of the fast kernel: at most this share of the literal kernel's time.
    void printTargets() const {
        const std::pair<const char*, double> targets[] = {{"music", 0.40}, {"bursts", 0.50}};
        for (const auto& [kind, target] : targets) {
            const auto ratio = ratios_.find(kind);
            if (ratio == ratios_.end()) continue;
            std::printf("target %-8s fast at most %.2f of literal: %.2f %s\n", kind, target,
                        ratio->second, ratio->second <= target ? "met" : "MISSED");
        }
    }

    // The library against the engine's whole pass over the same samples.
    void printLibrary() const {
        const auto whole = times_.find("library/whole-pass");
        if (whole == times_.end()) return;
        const double perFrame = 1e6 / static_cast<double>(kLibraryFrames);  // times are in ms
        std::printf("\nthe library on ten minutes of stereo music, medians of %d runs\n", kRepetitions);
        std::printf("%-22s %10s %8s %8s\n", "case", "ns/frame", "ratio", "target");
        std::printf("%-22s %10.2f\n", "engine whole pass", whole->second * perFrame);
        for (const LibraryCase& library : kLibraryCases) {
            const auto time = times_.find(library.name);
            if (time == times_.end()) continue;
            const double ratio = time->second / whole->second;
            std::printf("%-22s %10.2f %8.2f %8.2f %s\n", library.name, time->second * perFrame, ratio,
                        library.target, ratio <= library.target ? "met" : "MISSED");
        }
    }

private:
    std::map<std::string, double> times_;
    std::map<std::string, double> ratios_;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> kinds = {"music", "bursts", "noise", "silence"};
    const char* folder = std::getenv("TWOBAND_BENCH_MUSIC");
    for (auto& [name, wav] : recordings(folder != nullptr ? folder : "/usr/share/games/frozen-bubble/snd")) {
        kinds.push_back(name);
        signalCache().emplace(name, std::move(wav));
    }
    if (kinds.size() == 4) {
        std::puts("no real recordings found (install fb-music-high and ffmpeg, or set TWOBAND_BENCH_MUSIC)");
    }
    const auto add = [](const std::string& name, const std::string& kind, twoband::FrameKernel kernel) {
        benchmark::RegisterBenchmark((name + "/" + kind).c_str(), runKernel, kind, kernel)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);
    };
    for (const std::string& kind : kinds) {
        add("literal", kind, twoband::processFrames);
        if (twoband::fastPathSupported()) add("fast", kind, twoband::processFramesFast);
    }
    for (const char* layout : {"stereo", "mono", "doubled"}) {
        benchmark::RegisterBenchmark((std::string("pass/") + layout).c_str(), runPass, std::string(layout))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);
    }
    benchmark::RegisterBenchmark("library/whole-pass", runWholePass)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
    for (const LibraryCase& library : kLibraryCases) {
        benchmark::RegisterBenchmark(library.name, library.floats ? runLibraryF32 : runLibraryS16, library.block)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios(kinds);
    reporter.printTargets();
    reporter.printChannels();
    reporter.printLibrary();
    if (!twoband::fastPathSupported()) {
        std::puts("this CPU has no AVX2: only the literal kernel runs here");
    }
    benchmark::Shutdown();
    return 0;
}
