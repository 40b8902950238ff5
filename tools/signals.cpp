#include "signals.hpp"

#include <algorithm>
#include <cmath>

namespace signals {

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::int16_t toSample(double value) {
    if (value >= 32767.0) return 32767;
    if (value <= -32768.0) return -32768;
    return static_cast<std::int16_t>(value);
}

// Small deterministic white noise in [-1, 1).
class Noise {
public:
    explicit Noise(std::uint32_t seed) : state_(seed) {}
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

private:
    std::uint32_t state_;
};

void putTag(std::vector<std::uint8_t>& out, std::string_view tag) {
    for (const char c : tag) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
}

void put(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

double sine(double cycles) {
    double t = cycles - std::floor(cycles);  // [0, 1)
    if (t > 0.5) t -= 1.0;                    // [-0.5, 0.5]
    if (t > 0.25) {
        t = 0.5 - t;
    } else if (t < -0.25) {
        t = -0.5 - t;
    }
    const double x = t * kTwoPi;  // [-π/2, π/2]
    const double x2 = x * x;
    return x * (1.0 - x2 / 6.0 *
                          (1.0 - x2 / 20.0 *
                                     (1.0 - x2 / 42.0 * (1.0 - x2 / 72.0 * (1.0 - x2 / 110.0)))));
}

Samples musicLike(std::size_t frames) {
    // Bass roots and chord notes in Hz, one step per half second.
    constexpr double kBass[] = {55.0, 55.0, 73.42, 65.41, 49.0, 49.0, 61.74, 65.41};
    constexpr double kChord[][3] = {{220.0, 261.63, 329.63}, {220.0, 261.63, 329.63},
                                    {293.66, 349.23, 440.0}, {261.63, 329.63, 392.0},
                                    {196.0, 246.94, 293.66}, {196.0, 246.94, 293.66},
                                    {246.94, 293.66, 369.99}, {261.63, 329.63, 392.0}};
    constexpr std::size_t kStep = kSampleRate / 2;
    constexpr std::size_t kBeat = kSampleRate / 4;
    Noise noise(0x2545F491u);
    Samples out;
    out.reserve(frames * 2);
    double drum = 0.0;
    for (std::size_t n = 0; n < frames; ++n) {
        const double seconds = static_cast<double>(n) / kSampleRate;
        const std::size_t step = (n / kStep) % 8;
        // Loudness rises and falls over an 8-second cycle: quiet verses, loud chorus.
        const double loudness = 0.15 + 0.85 * (0.5 - 0.5 * sine(seconds / 8.0 + 0.25));
        if (n % kBeat == 0) drum = (n / kBeat) % 2 == 0 ? 1.0 : 0.6;
        drum *= 0.9995;
        const double bass = 0.45 * sine(kBass[step] * seconds);
        double chordL = 0.0;
        double chordR = 0.0;
        for (int v = 0; v < 3; ++v) {
            const double tone = sine(kChord[step][v] * seconds) + 0.3 * sine(2.0 * kChord[step][v] * seconds);
            chordL += (v == 2 ? 0.05 : 0.12) * tone;
            chordR += (v == 0 ? 0.05 : 0.12) * tone;
        }
        const double hit = drum * (0.25 * noise.next() + 0.35 * sine(60.0 * seconds));
        out.push_back(toSample(32767.0 * loudness * (bass + chordL + hit)));
        out.push_back(toSample(32767.0 * loudness * (bass + chordR + 0.8 * hit)));
    }
    return out;
}

Samples loudBursts(std::size_t frames) {
    constexpr std::size_t kPeriod = kSampleRate;  // one second: burst, sweep, silence
    Samples out;
    out.reserve(frames * 2);
    double sweepPhase = 0.0;
    for (std::size_t n = 0; n < frames; ++n) {
        const std::size_t t = n % kPeriod;
        std::int16_t left = 0;
        std::int16_t right = 0;
        if (t < kPeriod / 4) {
            // Full-scale square wave at about 100 Hz, the channels in opposite phase.
            const bool high = (t / 220) % 2 == 0;
            left = high ? 32767 : -32768;
            right = high ? -32768 : 32767;
        } else if (t < 3 * kPeriod / 4) {
            // A sweep from 40 Hz up to about 8 kHz at full scale.
            const double progress = static_cast<double>(t - kPeriod / 4) / (kPeriod / 2);
            sweepPhase += (40.0 + 8000.0 * progress * progress) / kSampleRate;
            left = toSample(32767.0 * sine(sweepPhase));
            right = toSample(30000.0 * sine(sweepPhase + 0.25));
        }
        out.push_back(left);
        out.push_back(right);
    }
    return out;
}

Samples quietNoise(std::size_t frames) {
    Noise left(0x9E3779B9u);
    Noise right(0x7F4A7C15u);
    Samples out;
    out.reserve(frames * 2);
    for (std::size_t n = 0; n < frames; ++n) {
        out.push_back(toSample(600.0 * left.next()));
        out.push_back(toSample(600.0 * right.next()));
    }
    return out;
}

Samples silence(std::size_t frames) { return Samples(frames * 2, 0); }

Samples mixed(std::size_t frames) {
    constexpr std::size_t kSecond = kSampleRate;
    const Samples music = musicLike(2 * kSecond);
    const Samples bursts = loudBursts(kSecond);
    const Samples quiet = quietNoise(kSecond);
    const Samples* const cycle[] = {&music, &bursts, nullptr, &quiet};
    Samples out;
    out.reserve(frames * 2);
    for (std::size_t block = 0; out.size() < frames * 2; ++block) {
        const Samples* source = cycle[block % 4];
        const std::size_t wanted = std::min(frames * 2 - out.size(), source ? source->size() : 2 * kSecond);
        if (source == nullptr) {
            out.insert(out.end(), wanted, 0);
        } else {
            out.insert(out.end(), source->begin(), source->begin() + static_cast<std::ptrdiff_t>(wanted));
        }
    }
    return out;
}

Samples byName(std::string_view kind, std::size_t frames) {
    if (kind == "music") return musicLike(frames);
    if (kind == "bursts") return loudBursts(frames);
    if (kind == "noise") return quietNoise(frames);
    if (kind == "silence") return silence(frames);
    if (kind == "mixed") return mixed(frames);
    return {};
}

std::vector<std::uint8_t> wavFile(std::span<const std::int16_t> samples) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out;
    out.reserve(44 + dataBytes);
    putTag(out, "RIFF");
    put(out, 36 + dataBytes, 4);
    putTag(out, "WAVEfmt ");
    put(out, 16, 4);                   // format chunk size
    put(out, 1, 2);                    // PCM
    put(out, 2, 2);                    // channels
    put(out, kSampleRate, 4);
    put(out, kSampleRate * 4, 4);      // bytes per second
    put(out, 4, 2);                    // bytes per frame
    put(out, 16, 2);                   // bits per sample
    putTag(out, "data");
    put(out, dataBytes, 4);
    for (const std::int16_t sample : samples) {
        put(out, static_cast<std::uint16_t>(sample), 2);
    }
    return out;
}

}  // namespace signals
