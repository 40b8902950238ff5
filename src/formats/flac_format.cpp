#include "formats/flac_format.hpp"

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace twoband {

namespace {

constexpr std::uint64_t kWavHeaderBytes = 44;
constexpr std::uint64_t kDataSizeAt = 40;
constexpr unsigned kCompressionLevel = 5;   // as flac's default, but for the predictors:
// fixed predictors only, whose choice libFLAC makes in integers. Its LPC analysis works in
// floating point, with SSE, AVX or FMA chosen by the processor it runs on, so the same
// samples would give other bytes on another machine; fixed predictors cost about 2 %
// in size on music.
constexpr unsigned kLpcOrder = 0;
constexpr unsigned kSeekPointSeconds = 10;  // as flac places them
constexpr unsigned kOutputBits = 16;

void putLittle(std::uint8_t* at, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A canonical header for `frames` (nothing: unknown) frames of 16-bit PCM.
std::array<std::uint8_t, kWavHeaderBytes> wavHeader(std::uint16_t channels, std::uint32_t rate,
                                                    std::optional<std::uint64_t> frames) {
    std::array<std::uint8_t, kWavHeaderBytes> header{};
    const std::uint64_t data = frames ? *frames * channels * kSampleBytes : kPlaceholderSize;
    const bool fits = data < kPlaceholderSize - kWavHeaderBytes;
    std::memcpy(&header[0], "RIFF", 4);
    putLittle(&header[kRiffSizeAt], fits ? data + kWavHeaderBytes - 8 : kPlaceholderSize, 4);
    std::memcpy(&header[8], "WAVEfmt ", 8);
    putLittle(&header[16], 16, 4);
    putLittle(&header[20], 1, 2);
    putLittle(&header[22], channels, 2);
    putLittle(&header[24], rate, 4);
    putLittle(&header[28], std::uint64_t{rate} * channels * kSampleBytes, 4);
    putLittle(&header[32], channels * kSampleBytes, 2);
    putLittle(&header[34], kOutputBits, 2);
    std::memcpy(&header[36], "data", 4);
    putLittle(&header[kDataSizeAt], fits ? data : kPlaceholderSize, 4);
    return header;
}

class FlacReader final : public SampleReader {
public:
    FlacReader(Input& input, Dither dither) : input_(input), quantiser_(dither) {}
    ~FlacReader() override {
        if (decoder_) FLAC__stream_decoder_delete(decoder_);
    }

    bool open(std::string& problem) {
        decoder_ = FLAC__stream_decoder_new();
        if (!decoder_ || !FLAC__stream_decoder_set_metadata_respond_all(decoder_) ||
            FLAC__stream_decoder_init_stream(decoder_, read, nullptr, nullptr, nullptr, nullptr, write, metadata, error,
                                             this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
            problem = "the FLAC decoder could not start";
            return false;
        }
        if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || !problem_.empty() || channels_ == 0) {
            problem = "a FLAC file whose metadata cannot be read" + (problem_.empty() ? "" : ": " + problem_);
            return false;
        }
        return true;
    }

    std::string conversion() const override {
        if (bits_ == kOutputBits) return {};
        return std::to_string(bits_) + "-bit FLAC" +
               (bits_ < kOutputBits ? ", widened to 16 bits exactly"
                : quantiser_.dither() == Dither::none ? ", rounded to 16 bits"
                                                      : ", dithered to 16 bits");
    }
    std::uint16_t channels() const override { return channels_; }
    SampleRange frames() const override {
        return {kWavHeaderBytes, frames_ ? kWavHeaderBytes + *frames_ * channels_ * kSampleBytes : kToTheEnd};
    }
    AudioFacts facts() const override { return {rate_, frames_}; }
    const FlacMetadata* flacMetadata() const override { return &metadata_; }
    std::string problem() const override { return problem_; }
    std::vector<SizeField> sizes() const override {
        if (frames_) return {};
        return {{kRiffSizeAt, 4, 8, kPlaceholderSize}, {kDataSizeAt, 4, kWavHeaderBytes, kPlaceholderSize}};
    }

    std::optional<std::size_t> next(std::span<std::uint8_t> buffer, std::error_code& error) override {
        if (!headerGiven_) {
            headerGiven_ = true;
            const auto header = wavHeader(channels_, rate_, frames_);
            std::copy(header.begin(), header.end(), buffer.begin());
            return header.size();
        }
        const std::size_t frameBytes = channels_ * kSampleBytes;
        const std::size_t room = buffer.size() / frameBytes * frameBytes;
        std::size_t filled = 0;
        while (filled < room) {
            if (taken_ == decoded_.size()) {
                decoded_.clear();
                taken_ = 0;
                if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_END_OF_STREAM) break;
                if (!FLAC__stream_decoder_process_single(decoder_) || !problem_.empty()) {
                    error = readError_;
                    if (problem_.empty() && !error) problem_ = "the FLAC stream cannot be decoded";
                    return std::nullopt;
                }
                continue;
            }
            const std::size_t count = std::min(room - filled, decoded_.size() - taken_);
            std::copy_n(decoded_.begin() + static_cast<std::ptrdiff_t>(taken_), count, buffer.begin() + filled);
            taken_ += count;
            filled += count;
        }
        return filled;
    }

private:
    static FLAC__StreamDecoderReadStatus read(const FLAC__StreamDecoder*, FLAC__byte bytes[], size_t* count,
                                              void* self) {
        auto& reader = *static_cast<FlacReader*>(self);
        const std::optional<std::size_t> got =
            reader.input_.readAt(reader.offset_, std::span(bytes, *count), reader.readError_);
        if (!got) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        reader.offset_ += *got;
        *count = *got;
        return *got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }

    static FLAC__StreamDecoderWriteStatus write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const channels[], void* self) {
        auto& reader = *static_cast<FlacReader*>(self);
        const unsigned blocksize = frame->header.blocksize;
        if (frame->header.channels != reader.channels_ || frame->header.bits_per_sample != reader.bits_) {
            reader.problem_ = "a FLAC frame of another format than its STREAMINFO says";
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        reader.decoded_.resize(std::size_t{blocksize} * reader.channels_ * kSampleBytes);
        std::uint8_t* out = reader.decoded_.data();
        const unsigned bits = reader.bits_;
        for (unsigned i = 0; i < blocksize; ++i) {
            for (unsigned c = 0; c < reader.channels_; ++c, out += 2) {
                const FLAC__int32 sample = channels[c][i];
                std::int32_t value = 0;
                if (bits == kOutputBits) {
                    value = sample;
                } else if (bits < kOutputBits) {
                    value = sample * (1 << (kOutputBits - bits));
                } else {
                    value = reader.quantiser_.quantise(std::ldexp(static_cast<double>(sample), kOutputBits - static_cast<int>(bits)));
                }
                const auto bitsOut = static_cast<std::uint16_t>(value);
                out[0] = static_cast<std::uint8_t>(bitsOut);
                out[1] = static_cast<std::uint8_t>(bitsOut >> 8);
            }
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* self) {
        auto& reader = *static_cast<FlacReader*>(self);
        if (block->type == FLAC__METADATA_TYPE_STREAMINFO) {
            const FLAC__StreamMetadata_StreamInfo& info = block->data.stream_info;
            reader.channels_ = static_cast<std::uint16_t>(info.channels);
            reader.bits_ = info.bits_per_sample;
            reader.rate_ = info.sample_rate;
            if (info.total_samples != 0) reader.frames_ = info.total_samples;
            return;
        }
        if (FLAC__StreamMetadata* copy = FLAC__metadata_object_clone(block)) {
            reader.metadata_.blocks.push_back(copy);
        } else {
            reader.problem_ = "not enough memory for its metadata";
        }
    }

    static void error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* self) {
        auto& reader = *static_cast<FlacReader*>(self);
        if (reader.problem_.empty()) {
            const char* what = status == FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC            ? "lost sync"
                               : status == FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER         ? "a bad frame header"
                               : status == FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH ? "a frame whose CRC does not match"
                               : status == FLAC__STREAM_DECODER_ERROR_STATUS_BAD_METADATA       ? "bad metadata"
                                                                                               : "an unparseable stream";
            reader.problem_ = std::string("damaged FLAC data: ") + what + " within its first " +
                              std::to_string(reader.offset_) + " bytes";
        }
    }

    Input& input_;
    Quantiser quantiser_;
    FLAC__StreamDecoder* decoder_ = nullptr;
    FlacMetadata metadata_;
    std::uint16_t channels_ = 0;
    unsigned bits_ = 0;
    std::uint32_t rate_ = 0;
    std::optional<std::uint64_t> frames_;
    std::uint64_t offset_ = 0;  // of the input, read so far
    std::error_code readError_;
    std::string problem_;
    std::vector<std::uint8_t> decoded_;  // the last frame's 16-bit samples
    std::size_t taken_ = 0;
    bool headerGiven_ = false;
};

class FlacWriter final : public SampleWriter {
public:
    FlacWriter(ByteSink& sink, const SampleReader& reader, bool seekable)
        : sink_(sink), frames_(reader.frames()), channels_(reader.channels()), seekable_(seekable) {
        const AudioFacts facts = reader.facts();
        encoder_ = FLAC__stream_encoder_new();
        if (!encoder_) {
            problem_ = "not enough memory for the FLAC encoder";
            return;
        }
        FLAC__stream_encoder_set_channels(encoder_, channels_);
        FLAC__stream_encoder_set_bits_per_sample(encoder_, kOutputBits);
        FLAC__stream_encoder_set_sample_rate(encoder_, facts.sampleRate != 0 ? facts.sampleRate : kDefaultSampleRate);
        FLAC__stream_encoder_set_compression_level(encoder_, kCompressionLevel);
        FLAC__stream_encoder_set_max_lpc_order(encoder_, kLpcOrder);
        if (facts.frames) FLAC__stream_encoder_set_total_samples_estimate(encoder_, *facts.frames);
        if (const FlacMetadata* metadata = reader.flacMetadata()) {
            for (void* kept : metadata->blocks) {
                auto* block = static_cast<FLAC__StreamMetadata*>(kept);
                if (block->type == FLAC__METADATA_TYPE_SEEKTABLE) {
                    // One table, where a damaged input has more: FLAC allows one.
                    if (table_) continue;
                    block = seekTable(facts, block->data.seek_table.num_points);
                    if (!block) continue;
                }
                blocks_.push_back(block);
            }
        }
        if (!blocks_.empty()) FLAC__stream_encoder_set_metadata(encoder_, blocks_.data(), static_cast<unsigned>(blocks_.size()));
        const FLAC__StreamEncoderInitStatus status =
            FLAC__stream_encoder_init_stream(encoder_, writeBytes, seekable ? seek : nullptr, seekable ? tell : nullptr,
                                             nullptr, this);
        if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
            problem_ = std::string("FLAC cannot hold this audio (") + FLAC__StreamEncoderInitStatusString[status] + ")";
            if (status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR) {
                problem_ = std::string("the FLAC encoder failed (") +
                           FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)] + ")";
            }
        }
    }

    ~FlacWriter() override {
        if (encoder_) FLAC__stream_encoder_delete(encoder_);
        if (table_) FLAC__metadata_object_delete(table_);
    }

    void write(std::span<std::uint8_t> bytes, std::uint64_t offset) override {
        const std::size_t frameBytes = channels_ * kSampleBytes;
        const std::uint64_t framesEnd = frames_.end == kToTheEnd
                                            ? kToTheEnd
                                            : frames_.end - (frames_.end - frames_.begin) % frameBytes;
        const std::uint64_t begin = std::max(offset, frames_.begin);
        const std::uint64_t end = std::min(offset + bytes.size(), framesEnd);
        if (!problem_.empty() || begin >= end) return;
        const std::size_t count = (end - begin) / kSampleBytes;
        samples_.resize(count);
        const std::uint8_t* in = bytes.data() + (begin - offset);
        for (std::size_t i = 0; i < count; ++i, in += 2) {
            samples_[i] = static_cast<std::int16_t>(in[0] | in[1] << 8);
        }
        if (!FLAC__stream_encoder_process_interleaved(encoder_, samples_.data(),
                                                      static_cast<unsigned>(count / channels_))) {
            problem_ = std::string("the FLAC encoder failed (") +
                       FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)] + ")";
        }
    }

    bool finish(std::string& problem) override {
        if (problem_.empty() && !FLAC__stream_encoder_finish(encoder_)) {
            problem_ = std::string("the FLAC encoder failed (") +
                       FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)] + ")";
        }
        problem = problem_;
        return problem_.empty();
    }

private:
    // The seek table to write where the input had one of `points` points: one point
    // every ten seconds, filled in as the frames pass, on a file of known length;
    // placeholders otherwise. Nothing without memory.
    FLAC__StreamMetadata* seekTable(const AudioFacts& facts, unsigned points) {
        table_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        if (!table_) return nullptr;
        const std::uint32_t rate = facts.sampleRate != 0 ? facts.sampleRate : kDefaultSampleRate;
        const bool filled = seekable_ && facts.frames && *facts.frames > 0;
        const bool made =
            filled ? FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                         table_, rate * kSeekPointSeconds, *facts.frames) &&
                         FLAC__metadata_object_seektable_template_sort(table_, true)
                   : FLAC__metadata_object_seektable_template_append_placeholders(table_, std::max(points, 1u));
        return made ? table_ : nullptr;
    }

    static FLAC__StreamEncoderWriteStatus writeBytes(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                                     size_t count, uint32_t, uint32_t, void* self) {
        auto& writer = *static_cast<FlacWriter*>(self);
        const std::span<const std::uint8_t> written(bytes, count);
        if (writer.position_ == writer.written_) {
            writer.sink_.write(written);
            writer.written_ += count;
        } else if (!writer.sink_.rewrite(writer.position_, written)) {
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        writer.position_ += count;
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }

    static FLAC__StreamEncoderSeekStatus seek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* self) {
        auto& writer = *static_cast<FlacWriter*>(self);
        if (offset > writer.written_) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        writer.position_ = offset;
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }

    static FLAC__StreamEncoderTellStatus tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* self) {
        *offset = static_cast<FlacWriter*>(self)->position_;
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }

    ByteSink& sink_;
    SampleRange frames_;
    std::uint16_t channels_;
    bool seekable_;
    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* table_ = nullptr;
    std::vector<FLAC__StreamMetadata*> blocks_;
    std::vector<FLAC__int32> samples_;
    std::uint64_t position_ = 0;  // where the encoder writes next
    std::uint64_t written_ = 0;   // bytes written at the end
    std::string problem_;
};

}  // namespace

FlacMetadata::~FlacMetadata() {
    for (void* block : blocks) FLAC__metadata_object_delete(static_cast<FLAC__StreamMetadata*>(block));
}

std::unique_ptr<SampleReader> flacReader(Input& input, Dither dither, std::string& problem) {
    auto reader = std::make_unique<FlacReader>(input, dither);
    if (!reader->open(problem)) return nullptr;
    return reader;
}

std::unique_ptr<SampleWriter> flacWriter(ByteSink& sink, const SampleReader& reader, bool seekable) {
    return std::make_unique<FlacWriter>(sink, reader, seekable);
}

}  // namespace twoband
