#pragma once

// Loudness of 16-bit samples as the platforms measure it: integrated loudness and
// loudness range by ITU-R BS.1770 with EBU R128 gating (libebur128, in its histogram
// mode, so the memory is the same at any length), and the true peak from the delivery
// stage's own 4× detector. Every figure is rounded to hundredths, so that what the
// program does with them is the same on every machine.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace twoband {

struct Loudness {
    std::optional<std::int32_t> integrated;  // hundredths of LUFS; nothing when all is below the gate
    std::int32_t range = 0;                  // hundredths of LU
    std::optional<std::int32_t> truePeak;    // hundredths of dBTP; nothing for digital silence
};

// The rates the meter takes.
constexpr std::uint32_t kLowestMeteredRate = 8000;
constexpr std::uint32_t kHighestMeteredRate = 384000;

class LoudnessMeter {
public:
    // A meter for `channels` (1 to 65535) interleaved channels at `rate`; nothing, and
    // why in `reason`, where this build has no meter or the rate is not metered.
    static std::unique_ptr<LoudnessMeter> create(std::size_t channels, std::uint32_t rate, std::string& reason);
    virtual ~LoudnessMeter() = default;

    // Whole frames of interleaved samples.
    virtual void add(std::span<const std::int16_t> samples) = 0;
    // The figures of everything added; ends the measurement.
    virtual Loudness result() = 0;
};

// 20·log10(level) in hundredths of a dB, rounded to the nearest, with + − × ÷ only;
// for levels from 10^-10 to 10^10.
std::int32_t hundredthsOfLevel(double level);

}  // namespace twoband
