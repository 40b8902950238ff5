#include "formats/wav_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

namespace twoband {

namespace {

// Fields of a format chunk, a ds64 chunk and a chunk header that a conversion rewrites.
constexpr std::uint64_t kByteRateAt = 8;
constexpr std::uint64_t kBlockAlignAt = 12;
constexpr std::uint64_t kBitsAt = 14;
constexpr std::uint64_t kDs64RiffSizeAt = 0;
constexpr std::uint64_t kDs64SampleCountAt = 16;
constexpr std::uint64_t kWave64RiffSizeAt = 16;
// Bytes the input buffer holds past its samples, for whole-word loads of 24-bit ones.
constexpr std::size_t kSlackBytes = 1;
static_assert(std::endian::native == std::endian::little, "24-bit samples are loaded as little-endian words");

// The 16-bit frames of a 16-bit file: its own bytes. Blocks end at the start of the
// samples plus a multiple of the buffer's size, so they never cut a frame.
class Wav16Reader final : public SampleReader {
public:
    Wav16Reader(Input& input, SampleRange samples, std::uint16_t channels, AudioFacts facts,
                std::vector<SizeField> sizes)
        : input_(input), samples_(samples), channels_(channels), facts_(facts), sizes_(std::move(sizes)) {}

    std::uint16_t channels() const override { return channels_; }
    SampleRange frames() const override { return samples_; }
    AudioFacts facts() const override { return facts_; }
    std::vector<SizeField> sizes() const override { return sizes_; }
    std::optional<std::uint64_t> length() const override { return input_.length(); }

    std::optional<std::size_t> next(std::span<std::uint8_t> buffer, std::error_code& error) override {
        const std::optional<std::uint64_t> length = input_.length();
        if (end_ == 0) {
            end_ = samples_.begin % buffer.size();
            if (end_ == 0) end_ = buffer.size();
        }
        if (ended_ || (length && offset_ >= *length)) return 0;
        const std::span<std::uint8_t> asked = buffer.first(std::min(end_, length.value_or(end_)) - offset_);
        const std::optional<std::size_t> got = input_.readAt(offset_, asked, error);
        if (!got || (length && *got != asked.size())) return std::nullopt;
        ended_ = *got < asked.size();  // a stream that has ended
        offset_ = end_;
        end_ += buffer.size();
        return *got;
    }

private:
    Input& input_;
    SampleRange samples_;
    std::uint16_t channels_;
    AudioFacts facts_;
    std::vector<SizeField> sizes_;
    std::uint64_t offset_ = 0;
    std::uint64_t end_ = 0;
    bool ended_ = false;
};

// How the samples of a convertible format are stored.
enum class Encoding { unsigned8, int24, int32, float32, float64 };

std::optional<Encoding> encodingOf(const DeclaredFormat& format) {
    if (format.formatTag == kFormatPcm) {
        switch (format.bitsPerSample) {
            case 8: return Encoding::unsigned8;
            case 24: return Encoding::int24;
            case 32: return Encoding::int32;
            default: return std::nullopt;
        }
    }
    if (format.formatTag == kFormatFloat) {
        if (format.bitsPerSample == 32) return Encoding::float32;
        if (format.bitsPerSample == 64) return Encoding::float64;
    }
    return std::nullopt;
}

void putLittle(std::vector<std::uint8_t>& bytes, std::uint64_t value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The first pass of convertSamples over `n` samples: each one's 16-bit value from
// `onGrid`, and whether all are on the grid.
template <typename OnGrid>
bool gridPass(const std::uint8_t* from, std::uint8_t* to, std::size_t n, std::size_t inBytes, OnGrid onGrid) {
    unsigned all = 1;
    for (std::size_t i = 0; i < n; ++i) {
        std::int16_t value = 0;
        all &= static_cast<unsigned>(onGrid(from + i * inBytes, value));
        std::memcpy(to + i * kSampleBytes, &value, sizeof value);
    }
    return all != 0;
}

// `count` samples of `inBytes` bytes each at `in` as 16-bit little-endian samples at
// `out`. `onGrid(sample, value)` gives a sample's 16-bit value and whether it is on the
// 16-bit grid, without branches, so that samples on the grid convert at the speed of
// memory (`firstPass(from, to, n)` is gridPass with `onGrid`, or a faster build of it);
// in a chunk that has others, they then pass `offGrid` (the quantiser), in file order.
template <typename OnGrid, typename OffGrid, typename FirstPass>
void convertSamples(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::size_t inBytes,
                    OnGrid onGrid, OffGrid offGrid, FirstPass firstPass) {
    constexpr std::size_t kChunk = 512;
    for (std::size_t base = 0; base < count; base += kChunk) {
        const std::size_t n = std::min(kChunk, count - base);
        const std::uint8_t* from = in + base * inBytes;
        std::uint8_t* to = out + base * kSampleBytes;
        if (firstPass(from, to, n)) continue;
        for (std::size_t i = 0; i < n; ++i) {
            std::int16_t value = 0;
            if (!onGrid(from + i * inBytes, value)) {
                value = offGrid(from + i * inBytes);
                std::memcpy(to + i * kSampleBytes, &value, sizeof value);
            }
        }
    }
}

template <typename OnGrid, typename OffGrid>
void convertSamples(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::size_t inBytes,
                    OnGrid onGrid, OffGrid offGrid) {
    convertSamples(in, out, count, inBytes, onGrid, offGrid,
                   [&](const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
                       return gridPass(from, to, n, inBytes, onGrid);
                   });
}

// `count` 24-bit samples at `in` as 16-bit samples at `out`, as convertSamples does with
// the low byte as the test, four at a time: three 4-byte words hold four samples, whose
// top two bytes are their 16-bit values and whose low bytes say whether they are on
// the grid.
template <typename OffGrid>
void convertInt24(const std::uint8_t* in, std::uint8_t* out, std::size_t count, OffGrid offGrid) {
    constexpr std::size_t kChunk = 512;
    const auto put = [](std::uint8_t* to, std::int16_t value) { std::memcpy(to, &value, sizeof value); };
    for (std::size_t base = 0; base < count; base += kChunk) {
        const std::size_t n = std::min(kChunk, count - base);
        const std::uint8_t* from = in + base * 3;
        std::uint8_t* to = out + base * kSampleBytes;
        std::uint32_t lows = 0;
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            std::uint32_t w[3];
            std::memcpy(w, from + 3 * i, sizeof w);
            lows |= (w[0] & 0xFF0000FFu) | (w[1] & 0x00FF0000u) | (w[2] & 0x0000FF00u);
            const std::uint64_t values = ((w[0] >> 8) & 0xFFFFu) | std::uint64_t{w[1] & 0xFFFFu} << 16 |
                                         std::uint64_t{(w[1] >> 24) | (w[2] & 0xFFu) << 8} << 32 |
                                         std::uint64_t{w[2] >> 16} << 48;
            std::memcpy(to + i * kSampleBytes, &values, sizeof values);
        }
        for (; i < n; ++i) {
            lows |= from[3 * i];
            put(to + i * kSampleBytes, static_cast<std::int16_t>(from[3 * i + 1] | from[3 * i + 2] << 8));
        }
        if (lows == 0) continue;
        for (i = 0; i < n; ++i) {
            if (from[3 * i] != 0) put(to + i * kSampleBytes, offGrid(from + 3 * i));
        }
    }
}

// Whether `scaled` (a sample in 16-bit steps) is a whole number of the 16-bit range,
// and that number; without branches. The sum rounds to a whole number (ties to even)
// as binary arithmetic does; a NaN or an infinity is on no grid.
template <typename Real>
bool onSixteenBitGrid(Real scaled, std::int16_t& value) {
    constexpr Real kRounder = sizeof(Real) == 4 ? Real(0x1.8p23) : Real(0x1.8p52);
    const Real rounded = (scaled + kRounder) - kRounder;
    const bool grid = (rounded == scaled) & (scaled >= Real(-32768)) & (scaled <= Real(32767));
    value = static_cast<std::int16_t>(static_cast<std::int32_t>(grid ? scaled : Real(0)));
    return grid;
}

std::uint32_t little32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

std::uint64_t little64(const std::uint8_t* in) {
    return little32(in) | static_cast<std::uint64_t>(little32(in + 4)) << 32;
}

constexpr auto float32OnGrid = [](const std::uint8_t* sample, std::int16_t& value) {
    return onSixteenBitGrid(std::bit_cast<float>(little32(sample)) * 32768.0f, value);
};

// The first pass over 32-bit float samples, the most common of the formats converted:
// eight samples to a register where the processor has AVX2. Each sample goes through
// the same operations either way, so the values are the same.
bool float32GridPortable(const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
    return gridPass(from, to, n, 4, float32OnGrid);
}

#if defined(__GNUC__) && defined(__x86_64__)
[[gnu::target("avx2")]] bool float32GridAvx2(const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
    return gridPass(from, to, n, 4, float32OnGrid);
}
#endif

bool float32GridPass(const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return float32GridAvx2(from, to, n);
#endif
    return float32GridPortable(from, to, n);
}

// A WAV file of another format, read as the same file of 16-bit samples: the bytes
// before the samples with their fields rewritten, the converted frames, the padding
// the container asks of them, and the bytes after the samples as they are.
class ConvertingWavReader final : public SampleReader {
public:
    ConvertingWavReader(Input& input, const WavLayout& layout, Dither dither)
        : input_(input),
          encoding_(*encodingOf(*layout.format)),
          channels_(layout.format->channels),
          inFrameBytes_(layout.format->blockAlign),
          begin_(layout.samples.begin),
          quantiser_(dither) {
        const DeclaredFormat& format = *layout.format;
        const std::optional<std::uint64_t> length = input.length();
        const std::uint64_t declaredEnd = layout.declaredEnd.value_or(kToTheEnd);
        if (layout.samples.end != kToTheEnd) frames_ = (layout.samples.end - begin_) / inFrameBytes_;
        const bool wave64 = layout.container == Container::wave64;
        // The bytes after the samples: after the data chunk's padding, where it ends
        // before the file does.
        if (declaredEnd != kToTheEnd && (!length || declaredEnd <= *length)) {
            resume_ = wave64 ? (declaredEnd + kWave64Alignment - 1) / kWave64Alignment * kWave64Alignment
                             : declaredEnd + ((declaredEnd - begin_) & 1);
            if (length) resume_ = std::min(*resume_, *length);
        }
        const std::uint64_t newData = frames_.value_or(0) * channels_ * kSampleBytes;
        if (wave64) padding_ = (kWave64Alignment - (begin_ + newData) % kWave64Alignment) % kWave64Alignment;
        facts_ = {format.sampleRate, frames_};

        // The format: 16-bit PCM, extensible where it was.
        const std::uint64_t fmt = layout.places.format;
        if (!format.extensible) patch(fmt, kFormatPcm, 2);
        patch(fmt + kByteRateAt, std::uint64_t{format.sampleRate} * channels_ * kSampleBytes, 4);
        patch(fmt + kBlockAlignAt, channels_ * kSampleBytes, 2);
        patch(fmt + kBitsAt, 16, 2);
        if (format.extensible) {
            patch(fmt + kValidBitsAt, 16, 2);
            patch(fmt + kSubFormatAt, kFormatPcm, 2);
        }
        // A stream's placeholders stay for the output to mend where it can.
        if (!length) {
            for (const SizeField& field : layout.sizes) {
                if (field.declared == 0 || field.declared == (field.bytes == 4 ? kPlaceholderSize : ~0ull)) {
                    sizes_.push_back(field);
                }
            }
        }
        if (!frames_) return;
        // The counts and sizes that follow from the number of frames.
        if (layout.places.fact) patch(*layout.places.fact, std::min<std::uint64_t>(*frames_, kPlaceholderSize), 4);
        const std::uint64_t data = layout.places.dataHeader;
        if (wave64) {
            patch(data + 16, kWave64ChunkHeaderBytes + newData, 8);
        } else if (!(layout.container == Container::rf64 && layout.places.dataSize == kPlaceholderSize)) {
            patch(data + 4, std::min(newData, kPlaceholderSize), 4);
        }
        if (layout.places.ds64) {
            patch(*layout.places.ds64 + kDs64DataSizeAt, newData, 8);
            patch(*layout.places.ds64 + kDs64SampleCountAt, *frames_, 8);
        }
        // The container's size: the true one for a file; for a stream, what it says
        // less the samples' bytes it had, plus theirs now (a placeholder stays).
        const std::uint64_t oldSpan = resume_ ? *resume_ - begin_ : 0;
        const std::uint64_t newSpan = newData + padding_;
        const auto resized = [&](std::uint64_t at, std::size_t count, std::uint64_t trueSize) {
            std::array<std::uint8_t, 8> bytes{};
            std::error_code ignored;
            const std::optional<std::size_t> got = input.readAt(at, std::span(bytes).first(count), ignored);
            std::uint64_t old = 0;
            for (std::size_t i = count; i-- > 0;) old = old << 8 | bytes[i];
            if (length) {
                patch(at, trueSize, count);
            } else if (got == count && resume_ && old != 0 && old != (count == 4 ? kPlaceholderSize : ~0ull) &&
                       old >= oldSpan) {
                patch(at, old - oldSpan + newSpan, count);
            }
        };
        const std::uint64_t outputLength =
            begin_ + newData + padding_ + (resume_ && length ? *length - *resume_ : 0);
        if (wave64) {
            resized(kWave64RiffSizeAt, 8, outputLength);
        } else if (layout.container == Container::rf64 && layout.places.ds64) {
            resized(*layout.places.ds64 + kDs64RiffSizeAt, 8, outputLength - 8);
        } else if (layout.container == Container::riff) {
            resized(kRiffSizeAt, 4, std::min(outputLength - 8, kPlaceholderSize));
        }
    }

    std::string conversion() const override {
        DeclaredFormat described{};
        described.complete = true;
        described.formatTag = encoding_ == Encoding::float32 || encoding_ == Encoding::float64 ? kFormatFloat : kFormatPcm;
        described.bitsPerSample = static_cast<std::uint16_t>(inFrameBytes_ / channels_ * 8);
        if (encoding_ == Encoding::unsigned8) return describeFormat(described) + ", widened to 16 bits exactly";
        return describeFormat(described) +
               (quantiser_.dither() == Dither::none ? ", rounded to 16 bits" : ", dithered to 16 bits");
    }
    std::uint16_t channels() const override { return channels_; }
    SampleRange frames() const override {
        return {begin_, frames_ ? begin_ + *frames_ * channels_ * kSampleBytes : kToTheEnd};
    }
    AudioFacts facts() const override { return facts_; }
    std::vector<SizeField> sizes() const override { return sizes_; }

    std::optional<std::size_t> next(std::span<std::uint8_t> buffer, std::error_code& error) override {
        switch (phase_) {
            case Phase::header: {
                const std::span<std::uint8_t> asked = buffer.first(std::min<std::uint64_t>(begin_ - in_, buffer.size()));
                if (!readAll(asked, error)) return std::nullopt;
                for (const auto& [at, bytes] : patches_) {
                    for (std::size_t i = 0; i < bytes.size(); ++i) {
                        if (at + i >= in_ && at + i < in_ + asked.size()) asked[at + i - in_] = bytes[i];
                    }
                }
                in_ += asked.size();
                if (in_ == begin_) phase_ = Phase::frames;
                if (!asked.empty()) return asked.size();
                return next(buffer, error);
            }
            case Phase::frames: {
                const std::size_t outFrameBytes = channels_ * kSampleBytes;
                std::uint64_t wanted = buffer.size() / outFrameBytes;
                if (frames_) wanted = std::min(wanted, *frames_ - done_);
                inBuffer_.resize(wanted * inFrameBytes_ + kSlackBytes);
                const std::span<std::uint8_t> asked = std::span(inBuffer_).first(wanted * inFrameBytes_);
                const std::optional<std::size_t> got = input_.readAt(in_, asked, error);
                if (!got || (input_.length() && *got != asked.size())) return std::nullopt;
                const std::size_t frames = *got / inFrameBytes_;
                convert(frames, buffer.data());
                in_ += *got;
                done_ += frames;
                if (*got < asked.size() || (frames_ && done_ == *frames_)) phase_ = Phase::after;
                if (frames > 0) return frames * outFrameBytes;
                return next(buffer, error);
            }
            case Phase::after: {
                // The container's padding after the new samples; the bytes after the old
                // ones, their own padding skipped.
                phase_ = Phase::done;
                if (!resume_) return 0;
                for (std::uint64_t skip = *resume_ - std::min(in_, *resume_); skip > 0;) {
                    const std::span<std::uint8_t> skipped = buffer.first(std::min<std::uint64_t>(skip, buffer.size()));
                    const std::optional<std::size_t> got = input_.readAt(in_, skipped, error);
                    if (!got) return std::nullopt;
                    if (*got < skipped.size()) return 0;  // a stream that ended early
                    in_ += skipped.size();
                    skip -= skipped.size();
                }
                phase_ = Phase::tail;
                std::fill_n(buffer.begin(), padding_, 0);
                if (padding_ > 0) return padding_;
                return next(buffer, error);
            }
            case Phase::tail: {
                const std::optional<std::uint64_t> length = input_.length();
                const std::span<std::uint8_t> asked =
                    buffer.first(length ? std::min<std::uint64_t>(*length - in_, buffer.size()) : buffer.size());
                const std::optional<std::size_t> got = input_.readAt(in_, asked, error);
                if (!got || (length && *got != asked.size())) return std::nullopt;
                in_ += *got;
                if (length ? in_ >= *length : *got < asked.size()) phase_ = Phase::done;
                return *got;
            }
            case Phase::done:
                return 0;
        }
        return 0;
    }

private:
    enum class Phase { header, frames, after, tail, done };

    void patch(std::uint64_t at, std::uint64_t value, std::size_t count) {
        std::vector<std::uint8_t> bytes;
        putLittle(bytes, value, count);
        patches_.emplace_back(at, std::move(bytes));
    }

    // Reads all of `into` at the current offset; false when that fails or the input ends.
    bool readAll(std::span<std::uint8_t> into, std::error_code& error) {
        const std::optional<std::size_t> got = input_.readAt(in_, into, error);
        return got && *got == into.size();
    }

    void convert(std::size_t frames, std::uint8_t* out) {
        const std::size_t count = frames * channels_;
        const std::uint8_t* in = inBuffer_.data();
        Quantiser& q = quantiser_;
        switch (encoding_) {
            case Encoding::unsigned8:
                convertSamples(
                    in, out, count, 1,
                    [](const std::uint8_t* s, std::int16_t& value) {
                        value = static_cast<std::int16_t>((s[0] - 128) * 256);
                        return true;
                    },
                    [](const std::uint8_t*) { return std::int16_t{0}; });
                break;
            case Encoding::int24:
                // A sample whose low byte is 0 is on the grid: its top two bytes.
                convertInt24(
                    in, out, count,
                    [&q](const std::uint8_t* s) {
                        const std::uint32_t bits = static_cast<std::uint32_t>(s[0]) << 8 |
                                                   static_cast<std::uint32_t>(s[1]) << 16 |
                                                   static_cast<std::uint32_t>(s[2]) << 24;
                        return q.fromInt24(static_cast<std::int32_t>(bits) >> 8);
                    });
                break;
            case Encoding::int32:
                convertSamples(
                    in, out, count, 4,
                    [](const std::uint8_t* s, std::int16_t& value) {
                        value = static_cast<std::int16_t>(s[2] | s[3] << 8);
                        return (s[0] | s[1]) == 0;
                    },
                    [&q](const std::uint8_t* s) { return q.fromInt32(static_cast<std::int32_t>(little32(s))); });
                break;
            case Encoding::float32:
                convertSamples(in, out, count, 4, float32OnGrid,
                               [&q](const std::uint8_t* s) { return q.fromFloat(std::bit_cast<float>(little32(s))); },
                               float32GridPass);
                break;
            case Encoding::float64:
                convertSamples(
                    in, out, count, 8,
                    [](const std::uint8_t* s, std::int16_t& value) {
                        return onSixteenBitGrid(std::bit_cast<double>(little64(s)) * kSampleScale, value);
                    },
                    [&q](const std::uint8_t* s) { return q.quantise(std::bit_cast<double>(little64(s)) * kSampleScale); });
                break;
        }
    }

    Input& input_;
    Encoding encoding_;
    std::uint16_t channels_;
    std::size_t inFrameBytes_;
    std::uint64_t begin_;                 // where the samples start, in the input and the output
    std::optional<std::uint64_t> frames_; // nothing where a stream says no size
    std::optional<std::uint64_t> resume_; // where the bytes after the samples start
    std::uint64_t padding_ = 0;           // after the new samples
    AudioFacts facts_;
    std::vector<SizeField> sizes_;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> patches_;
    Quantiser quantiser_;
    std::vector<std::uint8_t> inBuffer_;
    Phase phase_ = Phase::header;
    std::uint64_t in_ = 0;    // the input's offset
    std::uint64_t done_ = 0;  // frames converted
};

class WavWriter final : public SampleWriter {
public:
    WavWriter(ByteSink& sink, std::vector<SizeField> sizes, std::optional<std::uint64_t> length)
        : sink_(sink), sizes_(std::move(sizes)), length_(length) {}

    void write(std::span<std::uint8_t> bytes, std::uint64_t offset) override {
        if (length_) putTrueSizes(bytes, offset, *length_);
        sink_.write(bytes);
        written_ = offset + bytes.size();
    }

    bool finish(std::string&) override {
        if (length_) return true;
        for (const SizeField& field : sizes_) {
            std::array<std::uint8_t, 8> bytes{};
            const std::span<std::uint8_t> value = std::span(bytes).first(field.bytes);
            if (putTrueSizes(value, field.at, written_)) sink_.rewrite(field.at, value);
        }
        return true;
    }

private:
    // Puts the true sizes of bytes of `length` into the part of `block` at `offset` that
    // holds them; true when one was put.
    bool putTrueSizes(std::span<std::uint8_t> block, std::uint64_t offset, std::uint64_t length) const {
        bool put = false;
        for (const SizeField& field : sizes_) {
            const std::optional<std::uint64_t> value = field.trueValue(length);
            for (std::uint8_t i = 0; value && i < field.bytes; ++i) {
                if (field.at + i >= offset && field.at + i - offset < block.size()) {
                    block[field.at + i - offset] = static_cast<std::uint8_t>(*value >> (8 * i));
                    put = true;
                }
            }
        }
        return put;
    }

    ByteSink& sink_;
    std::vector<SizeField> sizes_;
    std::optional<std::uint64_t> length_;
    std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> wavWriter(ByteSink& sink, std::vector<SizeField> sizes,
                                        std::optional<std::uint64_t> length, bool file) {
    if (!file) sizes.clear();
    return std::make_unique<WavWriter>(sink, std::move(sizes), length);
}

bool convertibleFormat(const DeclaredFormat& format) {
    return format.complete && format.channels > 0 && encodingOf(format) &&
           format.blockAlign == format.channels * (format.bitsPerSample / 8);
}

std::unique_ptr<SampleReader> wav16Reader(Input& input, SampleRange samples, std::uint16_t channels,
                                          AudioFacts facts, std::vector<SizeField> sizes) {
    return std::make_unique<Wav16Reader>(input, samples, channels, facts, std::move(sizes));
}

std::unique_ptr<SampleReader> convertingWavReader(Input& input, const WavLayout& layout, Dither dither) {
    return std::make_unique<ConvertingWavReader>(input, layout, dither);
}

}  // namespace twoband
