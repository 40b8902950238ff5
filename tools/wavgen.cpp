// wavgen: writes a synthetic 44.1 kHz 16-bit stereo WAV file.
// Usage: wavgen music|bursts|noise|silence|mixed SECONDS OUT.wav

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "signals.hpp"

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: wavgen music|bursts|noise|silence|mixed SECONDS OUT.wav\n", stderr);
        return 2;
    }
    const double seconds = std::strtod(argv[2], nullptr);
    if (!(seconds > 0.0 && seconds <= 3600.0)) {
        std::fputs("wavgen: SECONDS must be above 0 and at most 3600\n", stderr);
        return 2;
    }
    const auto frames = static_cast<std::size_t>(seconds * signals::kSampleRate);
    const signals::Samples samples = signals::byName(argv[1], frames);
    if (samples.empty()) {
        std::fprintf(stderr, "wavgen: unknown kind '%s'\n", argv[1]);
        return 2;
    }
    const std::vector<std::uint8_t> bytes = signals::wavFile(samples);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[3]);
        return 1;
    }
    std::printf("wrote %s (%.1f s, %zu bytes)\n", argv[3], seconds, bytes.size());
    return 0;
}
