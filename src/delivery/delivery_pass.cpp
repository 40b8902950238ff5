#include "delivery/delivery_pass.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine/delivery_stage.hpp"
#include "files/sample_file.hpp"
#include "formats/wav_layout.hpp"

namespace twoband {

namespace {

// The second pass reads this much at a time (each read is held four times over:
// samples in and out, bytes, the meter's piece), and the meter takes samples this
// many bytes at a time: small beside the meter's own seconds of samples.
constexpr std::size_t kDeliveryChunkBytes = 32 * 1024;
constexpr std::size_t kMeteredBytes = 16 * 1024;

// A result is said to reach its target within this many hundredths of an LU.
constexpr std::int32_t kTargetTolerance = 50;

void samplesFromBytes(std::span<const std::uint8_t> bytes, std::vector<std::int16_t>& samples) {
    samples.resize(bytes.size() / kSampleBytes);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
}

void bytesFromSamples(std::span<const std::int16_t> samples, std::vector<std::uint8_t>& bytes) {
    bytes.resize(samples.size() * kSampleBytes);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto value = static_cast<std::uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(value);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
}

std::string jsonText(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// Hundredths as a JSON number ("-16.05"), or null.
std::string jsonLevel(std::optional<std::int32_t> hundredths) {
    if (!hundredths) return "null";
    const std::int32_t magnitude = std::abs(*hundredths);
    char text[24];
    std::snprintf(text, sizeof text, "%s%d.%02d", *hundredths < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    return text;
}

std::string jsonFigures(const Loudness& loudness) {
    return "{\"integrated\":" + jsonLevel(loudness.integrated) + ",\"range\":" + jsonLevel(loudness.range) +
           ",\"truePeak\":" + jsonLevel(loudness.truePeak) + "}";
}

std::optional<std::int32_t> shortfall(const DeliverySettings& delivery, const DeliveryOutcome& outcome) {
    if (!delivery.loudness || !outcome.after.integrated) return std::nullopt;
    const std::int32_t missed = *delivery.loudness - *outcome.after.integrated;
    return std::abs(missed) > kTargetTolerance ? std::optional(missed) : std::nullopt;
}

}  // namespace

FrameTap::FrameTap(std::unique_ptr<LoudnessMeter> meter, SampleRange samples, std::size_t channels)
    : meter_(std::move(meter)), samples_(samples), frameBytes_(channels * kSampleBytes) {}

void FrameTap::take(std::span<const std::uint8_t> block, std::uint64_t offset) {
    const std::uint64_t begin = std::max(offset, samples_.begin);
    const std::uint64_t end = std::min(offset + block.size(), samples_.end);
    if (begin >= end) return;
    const std::uint64_t whole = (end - begin) / frameBytes_ * frameBytes_;
    const std::size_t piece = std::max<std::size_t>(1, kMeteredBytes / frameBytes_) * frameBytes_;
    const std::span<const std::uint8_t> frames = block.subspan(begin - offset, whole);
    for (std::size_t at = 0; at < frames.size(); at += piece) {
        samplesFromBytes(frames.subspan(at, std::min(piece, frames.size() - at)), frames_);
        meter_->add(frames_);
    }
}

std::int32_t staticGainFor(const DeliverySettings& delivery, const Loudness& before) {
    if (!delivery.loudness || !before.integrated) return 0;
    return *delivery.loudness - *before.integrated;
}

DeliveryOutcome deliver(const SpoolFile& spool, SampleRange samples, std::size_t channels, std::uint32_t rate,
                        const DeliverySettings& delivery, const Loudness& before,
                        const std::function<void(std::span<std::uint8_t>)>& write) {
    DeliveryOutcome outcome;
    outcome.gain = staticGainFor(delivery, before);
    const std::size_t frameBytes = channels * kSampleBytes;
    const std::uint64_t length = spool.size();
    const std::uint64_t begin = std::min(samples.begin, length);
    const std::uint64_t end = begin + (std::min(samples.end, length) - begin) / frameBytes * frameBytes;
    outcome.frames = (end - begin) / frameBytes;
    DeliveryStage stage(channels, rate, gainOfHundredths(outcome.gain),
                        gainOfHundredths(delivery.ceiling.value_or(kCeilingHighest)));
    std::string reason;
    std::unique_ptr<LoudnessMeter> meter = LoudnessMeter::create(channels, rate, reason);
    if (!meter) {  // the first pass had one: only memory can be short
        outcome.readError = std::make_error_code(std::errc::not_enough_memory);
        return outcome;
    }
    FrameTap after(std::move(meter), {0, ~std::uint64_t{0}}, channels);
    std::vector<std::int16_t> in;
    std::vector<std::int16_t> out;
    std::vector<std::uint8_t> bytes;
    const std::size_t chunk = std::max(frameBytes, kDeliveryChunkBytes / frameBytes * frameBytes);
    std::vector<std::uint8_t> buffer(chunk);
    const auto emit = [&] {
        bytesFromSamples(out, bytes);
        after.take(bytes, 0);
        write(bytes);
        out.clear();
    };
    for (std::uint64_t offset = 0; offset < length;) {
        std::uint64_t upTo = std::min<std::uint64_t>(length, offset + chunk);
        if (offset < begin) upTo = std::min(upTo, begin);
        else if (offset < end) upTo = std::min(upTo, end);
        const std::span<std::uint8_t> block = std::span(buffer).first(upTo - offset);
        std::error_code error;
        const std::optional<std::size_t> got = spool.readAt(offset, block, error);
        if (!got || *got != block.size()) {
            outcome.readError = error ? error : std::make_error_code(std::errc::io_error);
            return outcome;
        }
        if (offset >= begin && offset < end) {
            samplesFromBytes(block, in);
            stage.process(in, out);
            emit();
        } else {
            write(block);
        }
        offset = upTo;
        if (offset == end) {
            stage.finish(out);
            emit();
        }
    }
    outcome.after = after.result();
    outcome.limitedFrames = stage.limitedFrames();
    if (stage.limitedFrames() > 0) outcome.deepestLimit = hundredthsOfLevel(stage.lowestGain());
    return outcome;
}

std::string loudnessLine(const Loudness& loudness) {
    return "Loudness " + tenthsText(loudness.integrated) + " LUFS, range " + tenthsText(loudness.range) +
           " LU, true peak " + tenthsText(loudness.truePeak, true) + " dBTP\n";
}

std::string deliveryLine(const DeliverySettings& delivery, const Loudness& before, const DeliveryOutcome& outcome) {
    std::string line = loudnessLine(before);
    line.pop_back();
    line += "; delivered " + tenthsText(outcome.after.integrated) + " LUFS, range " +
            tenthsText(outcome.after.range) + " LU, true peak " + tenthsText(outcome.after.truePeak, true) + " dBTP";
    if (const std::optional<std::int32_t> missed = shortfall(delivery, outcome)) {
        line += " (target " + tenthsText(delivery.loudness) + " LUFS missed by " + tenthsText(std::abs(*missed)) +
                " LU" + (*missed > 0 ? ": the " + tenthsText(delivery.ceiling, true) + " dBTP ceiling holds it back" : "") +
                ")";
    } else if (delivery.loudness && !before.integrated) {
        line += " (silent: no gain)";
    }
    return line + "\n";
}

std::string reportMarkName(const std::string& name) { return name.substr(fileNameStart(name)); }

std::shared_ptr<ReportFile> ReportFile::create(const std::string& name, std::error_code& error) {
    std::optional<OutputFile> file = OutputFile::create(name, std::nullopt, error);
    if (!file) return nullptr;
    return std::shared_ptr<ReportFile>(new ReportFile(std::move(*file), reportMarkName(name)));
}

void ReportFile::add(const std::string& record) {
    const std::lock_guard lock(mutex_);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
    digest_.add(bytes);
    if (!error_) file_.write(bytes, error_);
}

bool ReportFile::commit(std::error_code& error) {
    const std::lock_guard lock(mutex_);
    error = error_;
    return !error && file_.finish(encodeMark({markName_, digest_.digest()}), error) && file_.replaceName(error);
}

void noteInReport(const DeliverySettings& delivery, const std::string& name, const std::string& output,
                  const Loudness& before, const DeliveryOutcome* outcome) {
    if (!delivery.reportFile) return;
    std::string record = "{\"file\":" + jsonText(name) + ",\"output\":" + jsonText(output);
    record += ",\"target\":{\"loudness\":" + jsonLevel(delivery.loudness) + ",\"truePeak\":" +
              jsonLevel(delivery.ceiling) + "}";
    record += ",\"before\":" + jsonFigures(before);
    if (outcome) {
        const std::optional<std::int32_t> missed = shortfall(delivery, *outcome);
        record += ",\"after\":" + jsonFigures(outcome->after) + ",\"gain\":" + jsonLevel(outcome->gain) +
                  ",\"limiter\":{\"frames\":" + std::to_string(outcome->limitedFrames) + ",\"of\":" +
                  std::to_string(outcome->frames) + ",\"deepest\":" + jsonLevel(outcome->deepestLimit.value_or(0)) +
                  "},\"targetReached\":" + (delivery.loudness && !missed ? "true" : "false") +
                  ",\"missedBy\":" + jsonLevel(missed.value_or(0));
    }
    delivery.reportFile->add(record + "}\n");
}

}  // namespace twoband
