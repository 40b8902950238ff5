#pragma once

// What the delivery options ask of a run: a loudness target and a true-peak ceiling
// after the compressor, the figures on the transcript, and a report. Levels are in
// hundredths of a dB (of an LU for loudness), the grid the delivery stage works on.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace twoband {

class ReportFile;

constexpr std::int32_t kLoudnessLowest = -7000;  // -70 LUFS
constexpr std::int32_t kLoudnessHighest = 0;
constexpr std::int32_t kCeilingLowest = -900;    // -9 dBTP
constexpr std::int32_t kCeilingHighest = 0;
constexpr std::int32_t kDefaultCeiling = -100;   // with a loudness target and no ceiling

// A named pair of target and ceiling.
struct DeliveryTarget {
    const char* name;
    std::int32_t loudness;
    std::int32_t ceiling;
};
inline constexpr DeliveryTarget kDeliveryTargets[] = {
    {"podcast", -1600, -100},
    {"r128", -2300, -100},
    {"streaming", -1400, -100},
};

struct DeliverySettings {
    std::optional<std::int32_t> loudness;  // the target, kLoudnessLowest to kLoudnessHighest
    std::optional<std::int32_t> ceiling;   // kCeilingLowest to kCeilingHighest
    bool measure = false;                  // the figures of the compressor's result alone
    std::optional<std::string> report;     // the report file
    std::shared_ptr<ReportFile> reportFile;  // where the run writes it

    // The stage runs: a second pass through the gain and the limiter.
    bool stage() const { return loudness || ceiling; }
    // The outputs are measured.
    bool measuring() const { return stage() || measure || report; }
};

// Why the texts of --loudness, --true-peak and --target cannot be used; empty when
// they can.
std::string deliveryProblem(const std::optional<std::string>& loudness, const std::optional<std::string>& truePeak,
                            const std::optional<std::string>& target);

// The settings the texts ask for (valid texts, as deliveryProblem says).
DeliverySettings deliverySettings(const std::optional<std::string>& loudness,
                                  const std::optional<std::string>& truePeak,
                                  const std::optional<std::string>& target, bool measure);

// A level in hundredths as text with one decimal ("-16.0", "+0.3" with `signed`);
// "-inf" for nothing.
std::string tenthsText(std::optional<std::int32_t> hundredths, bool withSign = false);

}  // namespace twoband
