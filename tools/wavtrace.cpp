// wavtrace: runs the compressor over a WAV file and prints, every 10 ms, the peak
// level of each channel before and after, and the gains at that moment, as
// tab-separated columns for plotting. The file itself is not changed.
// Usage: wavtrace IN.wav [maxGain recoverSpeed feedbackSpeed]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/gain_control.hpp"

namespace {

constexpr std::size_t kFramesPerRow = 441;  // 10 ms at 44.1 kHz

std::int16_t sampleAt(const std::vector<char>& bytes, std::size_t offset) {
    const auto low = static_cast<unsigned char>(bytes[offset]);
    const auto high = static_cast<unsigned char>(bytes[offset + 1]);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(low | high << 8));
}

int magnitude(std::int16_t sample) { return sample < 0 ? -sample : sample; }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 && argc != 5) {
        std::fputs("usage: wavtrace IN.wav [maxGain recoverSpeed feedbackSpeed]\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || bytes.size() < twoband::kHeaderBytes) {
        std::fprintf(stderr, "wavtrace: cannot read %s\n", argv[1]);
        return 1;
    }
    twoband::Settings settings;
    if (argc == 5) {
        settings = {std::strtof(argv[2], nullptr), std::strtof(argv[3], nullptr),
                    static_cast<std::int32_t>(std::strtol(argv[4], nullptr, 10))};
    }
    const twoband::GainRules rules = twoband::makeGainRules(settings);
    twoband::EngineState state;

    std::puts("seconds\tinL\tinR\toutL\toutR\tgainHL\tgainHR\tgainLL\tgainLR\tmaster");
    int peaks[4] = {0, 0, 0, 0};
    std::size_t frame = 0;
    for (std::size_t offset = twoband::kHeaderBytes; offset + 4 <= bytes.size(); offset += 4) {
        const twoband::StereoFrame input{sampleAt(bytes, offset), sampleAt(bytes, offset + 2)};
        const twoband::StereoFrame output = twoband::processFrame(state, rules, input);
        peaks[0] = std::max(peaks[0], magnitude(input.left));
        peaks[1] = std::max(peaks[1], magnitude(input.right));
        peaks[2] = std::max(peaks[2], magnitude(output.left));
        peaks[3] = std::max(peaks[3], magnitude(output.right));
        if (++frame % kFramesPerRow == 0) {
            std::printf("%.2f\t%d\t%d\t%d\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\n",
                        static_cast<double>(frame) / 44100.0, peaks[0], peaks[1], peaks[2],
                        peaks[3], static_cast<double>(state.gainHL),
                        static_cast<double>(state.gainHR), static_cast<double>(state.gainLL),
                        static_cast<double>(state.gainLR), static_cast<double>(state.masterGain));
            std::fill(std::begin(peaks), std::end(peaks), 0);
        }
    }
    return 0;
}
