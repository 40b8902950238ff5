#pragma once

// The delivery options on the path of the bytes: the compressor's result measured as
// it is written (FrameTap), then, with a target or a ceiling, a second pass that reads
// it back through the static gain and the limiter (deliver), measured again; the
// transcript's line and the report's record of the figures.
//
//   input ─► engine ─► spool ─┬─► deliver: gain, limiter, quantiser ─► output
//                     FrameTap┘ (before)                    FrameTap (after)

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "delivery/delivery_settings.hpp"
#include "engine/engine_pass.hpp"
#include "delivery/loudness_meter.hpp"
#include "files/output_file.hpp"
#include "files/output_mark.hpp"

namespace twoband {

// Feeds the whole frames of a file's sample range to a meter, block by block.
class FrameTap {
public:
    FrameTap(std::unique_ptr<LoudnessMeter> meter, SampleRange samples, std::size_t channels);
    // `block` holds the file's bytes from `offset` on; frames start at samples.begin
    // plus a multiple of the frame size.
    void take(std::span<const std::uint8_t> block, std::uint64_t offset);
    Loudness result() { return meter_->result(); }

private:
    std::unique_ptr<LoudnessMeter> meter_;
    SampleRange samples_;
    std::size_t frameBytes_;
    std::vector<std::int16_t> frames_;  // a piece of a block, as the meter takes it
};

struct DeliveryOutcome {
    std::int32_t gain = 0;  // the static gain, hundredths of a dB
    Loudness after;
    std::uint64_t limitedFrames = 0;
    std::uint64_t frames = 0;
    std::optional<std::int32_t> deepestLimit;  // the limiter's lowest gain, hundredths of a dB
    std::optional<std::error_code> readError;  // reading the spool back (or measuring) failed
};

// The static gain that brings `before` to the target: none without a target or for
// a result that is all below the gate.
std::int32_t staticGainFor(const DeliverySettings& delivery, const Loudness& before);

// Reads `spool` (the compressor's result, laid out as the output) through the gain
// and the limiter, and hands every byte of the output, in order, to `write`.
DeliveryOutcome deliver(const SpoolFile& spool, SampleRange samples, std::size_t channels, std::uint32_t rate,
                        const DeliverySettings& delivery, const Loudness& before,
                        const std::function<void(std::span<std::uint8_t>)>& write);

// "Loudness -23.4 LUFS, range 5.2 LU, true peak -3.1 dBTP\n"
std::string loudnessLine(const Loudness& loudness);
// The line before and after, and by how much a target was missed.
std::string deliveryLine(const DeliverySettings& delivery, const Loudness& before, const DeliveryOutcome& outcome);

// The name a report's mark gives as its input: the report's own file name, so that
// only a report proves itself.
std::string reportMarkName(const std::string& name);

// The report of a run: one JSON object a line, in the order the files finish, under
// a temporary name until the run ends, then marked as outputs are.
class ReportFile {
public:
    static std::shared_ptr<ReportFile> create(const std::string& name, std::error_code& error);
    void add(const std::string& record);
    // Puts the report in place under its name.
    bool commit(std::error_code& error);

private:
    ReportFile(OutputFile file, std::string markName) : file_(std::move(file)), markName_(std::move(markName)) {}
    std::mutex mutex_;
    OutputFile file_;
    std::string markName_;
    DigestStream digest_;
    std::error_code error_;
};

// Adds a file's record to the report, where the run keeps one.
void noteInReport(const DeliverySettings& delivery, const std::string& name, const std::string& output,
                  const Loudness& before, const DeliveryOutcome* outcome);

}  // namespace twoband
