// Measures a sine's harmonics against the noise around them, for the check that a quiet
// float sine through a plugin comes out with its quantisation turned into noise, not
// into distortion.
//
// Reads interleaved 32-bit float samples (native order) and looks at the first channel:
// skips the given seconds (the gains settle), then cuts the rest into one-second
// segments, windows each (Blackman-Harris, 4 terms), and averages each bin's power over
// the segments. Bins are 1 Hz wide, so a whole-hertz fundamental and its harmonics fall
// on bins. The noise floor is the mean power of bins spread over the band, away from
// every harmonic.
//
// Usage: harmonics SAMPLES.f32 CHANNELS RATE FUNDAMENTAL_HZ SKIP_SECONDS
// Prints the fundamental in dBFS, the noise floor per bin in dBFS, each harmonic (2 to 9)
// in dB over the noise floor, and last the highest of them: "highest harmonic: X dB".

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <vector>

namespace {

constexpr int kHighestHarmonic = 9;
constexpr int kNoiseStepHz = 37;       // noise bins sampled every this many hertz
constexpr int kClearOfHarmonicHz = 20;  // and at least this far from any harmonic

// Power of bin `hz` of a one-second segment, by Goertzel, the window already applied.
double binPower(const std::vector<double>& segment, int rate, int hz) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / rate);
    double previous = 0.0;
    double before = 0.0;
    for (const double x : segment) {
        const double next = x + coefficient * previous - before;
        before = previous;
        previous = next;
    }
    return previous * previous + before * before - coefficient * previous * before;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fputs("usage: harmonics SAMPLES.f32 CHANNELS RATE FUNDAMENTAL_HZ SKIP_SECONDS\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const bool opened = file.is_open();
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    const int channels = std::atoi(argv[2]);
    const int rate = std::atoi(argv[3]);
    const int fundamental = std::atoi(argv[4]);
    const int skip = std::atoi(argv[5]);
    if (!opened || channels < 1 || rate < 1000 || fundamental < 1 || fundamental * kHighestHarmonic >= rate / 2) {
        std::fputs("harmonics: cannot read the samples or the arguments\n", stderr);
        return 2;
    }
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
    const std::size_t first = static_cast<std::size_t>(skip) * static_cast<std::size_t>(rate);
    const std::size_t segments = frames > first ? (frames - first) / static_cast<std::size_t>(rate) : 0;
    if (segments == 0) {
        std::fputs("harmonics: less than one second after the skipped part\n", stderr);
        return 2;
    }

    std::vector<double> window(static_cast<std::size_t>(rate));
    double windowSum = 0.0;
    for (std::size_t n = 0; n < window.size(); ++n) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(n) / static_cast<double>(rate);
        window[n] = 0.35875 - 0.48829 * std::cos(phase) + 0.14128 * std::cos(2 * phase) - 0.01168 * std::cos(3 * phase);
        windowSum += window[n];
    }
    std::vector<int> noiseBins;
    for (int hz = kNoiseStepHz; hz < rate / 2 - kClearOfHarmonicHz; hz += kNoiseStepHz) {
        const int nearest = (hz + fundamental / 2) / fundamental * fundamental;
        if (std::abs(hz - nearest) > kClearOfHarmonicHz) noiseBins.push_back(hz);
    }

    std::vector<double> harmonic(kHighestHarmonic + 1, 0.0);
    double noise = 0.0;
    std::vector<double> segment(window.size());
    for (std::size_t s = 0; s < segments; ++s) {
        for (std::size_t n = 0; n < segment.size(); ++n)
            segment[n] = window[n] * samples[(first + s * window.size() + n) * static_cast<std::size_t>(channels)];
        for (int k = 1; k <= kHighestHarmonic; ++k) harmonic[k] += binPower(segment, rate, k * fundamental);
        for (const int hz : noiseBins) noise += binPower(segment, rate, hz);
    }
    noise /= static_cast<double>(noiseBins.size());
    // A full-scale sine's bin power: (window sum / 2) squared.
    const double fullScale = windowSum * windowSum / 4.0 * static_cast<double>(segments);
    const auto dB = [](double ratio) { return 10.0 * std::log10(ratio); };
    std::printf("fundamental: %.1f dBFS\nnoise floor: %.1f dBFS per 1 Hz bin\n", dB(harmonic[1] / fullScale),
                dB(noise / fullScale));
    double highest = -1e9;
    for (int k = 2; k <= kHighestHarmonic; ++k) {
        const double over = dB(harmonic[k] / noise);
        std::printf("harmonic %d: %+.1f dB over the noise\n", k, over);
        if (over > highest) highest = over;
    }
    std::printf("highest harmonic: %+.1f dB\n", highest);
    return 0;
}
