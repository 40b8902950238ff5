// Engine speed: ns per frame and MB/s of the literal and the fast kernel on a few
// minutes of generated signals, side by side, and their ratio.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/fast_path.hpp"
#include "engine/gain_control.hpp"
#include "signals.hpp"

namespace {

constexpr std::size_t kFrames = 3 * 60 * signals::kSampleRate;  // three minutes
constexpr int kRepetitions = 5;

const std::vector<std::uint8_t>& signal(const std::string& kind) {
    static std::map<std::string, std::vector<std::uint8_t>> cache;
    auto found = cache.find(kind);
    if (found == cache.end()) {
        found = cache.emplace(kind, signals::wavFile(signals::byName(kind, kFrames))).first;
    }
    return found->second;
}

void runKernel(benchmark::State& state, const std::string& kind, twoband::FrameKernel kernel) {
    const std::vector<std::uint8_t>& input = signal(kind);
    std::vector<std::uint8_t> work(input.size());
    const twoband::GainRules rules = twoband::makeGainRules({});
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
    void printRatios(const std::vector<std::string>& kinds) const {
        std::printf("\nmedians of %d runs, %zu frames each (3 minutes at 44.1 kHz)\n", kRepetitions,
                    kFrames);
        std::printf("%-10s %14s %14s %8s\n", "signal", "literal ns/fr", "fast ns/fr", "ratio");
        for (const std::string& kind : kinds) {
            const auto literal = times_.find("literal/" + kind);
            const auto fast = times_.find("fast/" + kind);
            if (literal == times_.end() || fast == times_.end()) continue;
            const double perFrame = 1e6 / static_cast<double>(kFrames);  // times are in ms
            std::printf("%-10s %14.2f %14.2f %8.2f\n", kind.c_str(), literal->second * perFrame,
                        fast->second * perFrame, fast->second / literal->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> kinds = {"music", "bursts", "noise", "silence"};
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
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios(kinds);
    if (!twoband::fastPathSupported()) {
        std::puts("this CPU has no AVX2: only the literal kernel runs here");
    }
    benchmark::Shutdown();
    return 0;
}
