#include "wav_layout.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace twoband {

namespace {

constexpr std::uint64_t kRiffHeaderBytes = 12;
constexpr std::uint64_t kChunkHeaderBytes = 8;
// The fields of a format chunk, and the size of an extensible one.
constexpr std::size_t kFormatBytes = 16;
constexpr std::size_t kExtensibleFormatBytes = 40;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint16_t kPcmBits = 16;
// The PCM sub-format GUID of an extensible format chunk, as stored at its byte 24.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                        0x10, 0x00, 0x80, 0x00, 0x00, 0xAA,
                                                        0x00, 0x38, 0x9B, 0x71};
constexpr std::size_t kSubFormatAt = 24;

std::uint16_t little16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t little32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(little16(bytes)) |
           static_cast<std::uint32_t>(little16(bytes + 2)) << 16;
}

bool isId(const std::uint8_t* bytes, const char (&id)[5]) { return std::memcmp(bytes, id, 4) == 0; }

// The format declared by a "fmt " chunk of `size` bytes whose payload starts at
// `payload`; nothing when a read fails.
std::optional<DeclaredFormat> readFormat(std::uint64_t payload, std::uint32_t size,
                                         std::uint64_t length, const ReadAt& read) {
    std::array<std::uint8_t, kExtensibleFormatBytes> bytes{};
    const std::uint64_t available = std::min<std::uint64_t>({size, length - payload, bytes.size()});
    if (!read(payload, std::span(bytes).first(available))) {
        return std::nullopt;
    }
    DeclaredFormat format{little16(&bytes[0]), little16(&bytes[2]), little16(&bytes[14]), false};
    if (available < kFormatBytes || format.bitsPerSample != kPcmBits) {
        return format;
    }
    format.pcm16 = format.formatTag == kFormatPcm ||
                   (format.formatTag == kFormatExtensible && available == kExtensibleFormatBytes &&
                    std::equal(kPcmSubFormat.begin(), kPcmSubFormat.end(), &bytes[kSubFormatAt]));
    return format;
}

}  // namespace

std::optional<WavLayout> findWavLayout(std::uint64_t length, const ReadAt& read) {
    WavLayout layout{canonicalSamples(length), std::nullopt};
    std::array<std::uint8_t, kRiffHeaderBytes> riff{};
    if (length < kRiffHeaderBytes) {
        return layout;
    }
    if (!read(0, riff)) {
        return std::nullopt;
    }
    if (!isId(&riff[0], "RIFF") || !isId(&riff[8], "WAVE")) {
        return layout;
    }
    // Offsets are 64-bit: a 32-bit size added to an offset near 4 GiB cannot wrap.
    for (std::uint64_t at = kRiffHeaderBytes; at + kChunkHeaderBytes <= length;) {
        std::array<std::uint8_t, kChunkHeaderBytes> header{};
        if (!read(at, header)) {
            return std::nullopt;
        }
        const std::uint32_t size = little32(&header[4]);
        const std::uint64_t payload = at + kChunkHeaderBytes;
        if (isId(&header[0], "data")) {
            const std::uint64_t end = size == 0 || payload + size > length ? length : payload + size;
            const std::uint64_t begin = std::max<std::uint64_t>(payload, kHeaderBytes);
            layout.samples = {begin, std::max(begin, end)};
            return layout;
        }
        if (isId(&header[0], "fmt ") && !layout.format) {
            layout.format = readFormat(payload, size, length, read);
            if (!layout.format) {
                return std::nullopt;
            }
        }
        at = payload + size + (size & 1);
    }
    return layout;
}

}  // namespace twoband
