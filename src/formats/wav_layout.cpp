#include "formats/wav_layout.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace twoband {

namespace {

// A RIFF, RF64 or BW64 header: the form ("RIFF"), a 32-bit size, the form type ("WAVE").
constexpr std::uint64_t kRiffHeaderBytes = 12;
constexpr std::uint64_t kRiffChunkHeaderBytes = 8;
// A ds64 payload: the RIFF size, then the data size, each 64-bit.
constexpr std::uint64_t kDs64Bytes = 16;
constexpr std::uint64_t kDs64CountedBytes = 24;  // with the sample count after the sizes
constexpr std::uint64_t kFactBytes = 4;           // a fact chunk's sample count

// Wave64: the riff GUID, a 64-bit size, the wave GUID; then chunks of a GUID and a
// 64-bit size that counts the chunk header. The wave, fmt and data GUIDs are their
// four letters followed by one common tail.
constexpr std::uint64_t kWave64HeaderBytes = 40;
constexpr std::array<std::uint8_t, 16> kWave64Riff = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                                      0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr std::array<std::uint8_t, 12> kWave64Tail = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                                      0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr std::uint64_t kWave64WaveAt = 24;

// The fields of a format chunk, and the size of an extensible one.
constexpr std::size_t kFormatBytes = 16;
constexpr std::size_t kExtensibleFormatBytes = 40;
constexpr std::uint16_t kPcmBits = 16;
// An extensible chunk's sub-format GUID (at its byte 24): a 16-bit tag, then this.
constexpr std::array<std::uint8_t, 14> kSubFormatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The first bytes read to tell the format: enough for a Wave64 header.
constexpr std::uint64_t kSignatureBytes = kWave64HeaderBytes;
// Frame headers of MPEG audio and of AAC in ADTS; the bytes read to tell text.
constexpr std::size_t kMpegHeaderBytes = 4;
constexpr std::size_t kAdtsHeaderBytes = 7;
constexpr std::size_t kTextProbeBytes = 512;
static_assert(kSignatureBytes >= 16, "room for the longest signature");

std::uint16_t little16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t little32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(little16(bytes)) |
           static_cast<std::uint32_t>(little16(bytes + 2)) << 16;
}

std::uint64_t little64(const std::uint8_t* bytes) {
    return static_cast<std::uint64_t>(little32(bytes)) |
           static_cast<std::uint64_t>(little32(bytes + 4)) << 32;
}

bool isId(const std::uint8_t* bytes, const char (&id)[5]) { return std::memcmp(bytes, id, 4) == 0; }

// How the chunks of a container are laid out.
struct ChunkStyle {
    std::uint64_t first;        // where the first chunk starts
    std::uint64_t headerBytes;  // its id and size
    bool wave64;                // GUID ids, 64-bit sizes counting the header, 8-byte alignment
};

constexpr ChunkStyle kRiffChunks{kRiffHeaderBytes, kRiffChunkHeaderBytes, false};
constexpr ChunkStyle kWave64Chunks{kWave64HeaderBytes, kWave64ChunkHeaderBytes, true};

bool isChunk(const std::uint8_t* header, const char (&id)[5], const ChunkStyle& style) {
    return isId(header, id) &&
           (!style.wave64 || std::equal(kWave64Tail.begin(), kWave64Tail.end(), header + 4));
}

// The payload size of the chunk whose header is `header`.
std::uint64_t payloadSize(const std::uint8_t* header, const ChunkStyle& style) {
    if (!style.wave64) return little32(header + 4);
    const std::uint64_t size = little64(header + 16);
    return size < style.headerBytes ? 0 : size - style.headerBytes;
}

// The format declared by a "fmt " chunk of `size` bytes whose payload starts at
// `payload`; nothing when a read fails.
std::optional<DeclaredFormat> readFormat(std::uint64_t payload, std::uint64_t size,
                                         std::uint64_t length, const ReadAt& read) {
    std::array<std::uint8_t, kExtensibleFormatBytes> bytes{};
    const std::uint64_t available = std::min<std::uint64_t>({size, length - payload, bytes.size()});
    if (!read(payload, std::span(bytes).first(available))) {
        return std::nullopt;
    }
    DeclaredFormat format{little16(&bytes[0]), little16(&bytes[2]), little16(&bytes[12]),
                          little16(&bytes[14]), available >= kFormatBytes, false, little32(&bytes[4])};
    if (format.formatTag == kFormatExtensible) {
        format.complete = available == kExtensibleFormatBytes;
        format.extensible = format.complete;
        if (format.complete &&
            std::equal(kSubFormatTail.begin(), kSubFormatTail.end(), &bytes[kSubFormatAt + 2])) {
            format.formatTag = little16(&bytes[kSubFormatAt]);
        }
    }
    format.pcm16 = format.complete && format.formatTag == kFormatPcm && format.bitsPerSample == kPcmBits;
    return format;
}

// Walks the chunks of a WAV container from `style.first`; nothing when a read fails.
std::optional<WavLayout> walkChunks(WavLayout layout, const ChunkStyle& style, std::uint64_t length,
                                    const ReadAt& read) {
    std::optional<std::uint64_t> ds64DataSize;
    std::uint64_t ds64At = 0;  // where the ds64 payload is
    // Offsets are 64-bit, and a size is checked against what is left of the file
    // before it is added, so no sum can wrap.
    std::uint64_t at = style.first;
    while (at + style.headerBytes <= length) {
        std::array<std::uint8_t, kWave64ChunkHeaderBytes> header{};
        if (!read(at, std::span(header).first(style.headerBytes))) {
            return std::nullopt;
        }
        const std::uint64_t payload = at + style.headerBytes;
        std::uint64_t size = payloadSize(header.data(), style);
        const std::uint64_t left = length - payload;
        if (isChunk(header.data(), "data", style)) {
            layout.places.dataHeader = at;
            layout.places.dataSize = size;
            layout.places.ds64DataSize = ds64DataSize;
            if (style.wave64) {
                layout.sizes.push_back({at + 16, 8, at, little64(header.data() + 16)});
            } else if (layout.container == Container::riff) {
                layout.sizes.push_back({at + 4, 4, payload, size});
            } else if (ds64DataSize && size == kPlaceholderSize) {
                layout.sizes.push_back({ds64At + kDs64DataSizeAt, 8, payload, *ds64DataSize});
            }
            if (!style.wave64 && size == kPlaceholderSize && ds64DataSize) size = *ds64DataSize;
            const std::uint64_t end = size == 0 || size > left ? length : payload + size;
            const std::uint64_t begin = std::max<std::uint64_t>(payload, kHeaderBytes);
            layout.samples = {begin, std::max(begin, end)};
            const bool toTheEnd = size == 0 || (!style.wave64 && size == kPlaceholderSize) || size > kToTheEnd - payload;
            layout.declaredEnd = std::max(begin, toTheEnd ? kToTheEnd : payload + size);
            return layout;
        }
        if (isChunk(header.data(), "fact", style) && !layout.places.fact && size >= kFactBytes && left >= kFactBytes) {
            layout.places.fact = payload;
        }
        if (isChunk(header.data(), "fmt ", style) && !layout.format) {
            layout.places.format = payload;
            layout.format = readFormat(payload, size, length, read);
            if (!layout.format) {
                return std::nullopt;
            }
        }
        if (layout.container == Container::rf64 && isId(header.data(), "ds64") && !ds64DataSize &&
            size >= kDs64Bytes && left >= kDs64Bytes) {
            std::array<std::uint8_t, kDs64Bytes> sizes{};
            if (!read(payload, sizes)) {
                return std::nullopt;
            }
            ds64DataSize = little64(&sizes[kDs64DataSizeAt]);
            if (size >= kDs64CountedBytes && left >= kDs64CountedBytes) layout.places.ds64 = payload;
            ds64At = payload;
            layout.sizes.push_back({payload, 8, kRiffChunkHeaderBytes, little64(sizes.data())});
        }
        if (size > left) {  // the next chunk would start past the end
            std::string id;
            for (std::size_t i = 0; i < 4; ++i) {
                id += header[i] >= 0x20 && header[i] < 0x7F ? static_cast<char>(header[i]) : '?';
            }
            layout.damage = "no data chunk: the '" + id + "' chunk at byte " + std::to_string(at) + " says " +
                            std::to_string(size) + " bytes, past the end (" + std::to_string(length) + " bytes)";
            return layout;
        }
        const std::uint64_t next = payload + size;
        at = style.wave64 ? (next + kWave64Alignment - 1) / kWave64Alignment * kWave64Alignment
                          : next + (size & 1);
    }
    layout.damage = "no data chunk: the chunks end at byte " + std::to_string(std::min(at, length)) + " of " +
                    std::to_string(length);
    return layout;
}

// The length of the MPEG audio frame whose 4-byte header is at `header`; 0 where
// those bytes are no such header.
std::uint32_t mpegFrameBytes(const std::uint8_t* header) {
    if (header[0] != 0xFF || (header[1] & 0xE0) != 0xE0) return 0;
    const int version = (header[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = (header[1] >> 1) & 3;    // 3: I, 2: II, 1: III
    const int bitrateIndex = header[2] >> 4;
    const int rateIndex = (header[2] >> 2) & 3;
    const std::uint32_t padding = (header[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
        return 0;
    }
    // kbit/s by bitrate index: MPEG-1 layers I, II, III; MPEG-2 and 2.5 layer I, II and III.
    static constexpr std::uint16_t kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    };
    static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};  // MPEG-1; halved per version
    const bool mpeg1 = version == 3;
    const std::uint32_t rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int row = mpeg1 ? 3 - layer : layer == 3 ? 3 : 4;
    const std::uint32_t bitrate = kBitrates[row][bitrateIndex] * 1000u;
    if (layer == 3) return (12 * bitrate / rate + padding) * 4;
    return (layer == 1 && !mpeg1 ? 72 : 144) * bitrate / rate + padding;
}

// The length of the AAC (ADTS) frame whose 7-byte header is at `header`; 0 where those
// bytes are no such header.
std::uint32_t adtsFrameBytes(const std::uint8_t* header) {
    if (header[0] != 0xFF || (header[1] & 0xF6) != 0xF0) return 0;  // sync, layer 0
    const std::uint32_t length = (header[3] & 3u) << 11 | header[4] << 3 | header[5] >> 5;
    return length >= kAdtsHeaderBytes ? length : 0;
}

// Whether `bytes` read as text: UTF-8 without control characters but blanks and line
// ends. A character cut by the end of the bytes still counts.
bool isText(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t c = bytes[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') return false;
            if (c == 0x7F) return false;
            ++i;
            continue;
        }
        const std::size_t more = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
        if (more == 0 || c >= 0xF5) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            if (i + k == bytes.size()) return true;
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

// A format recognised by its first bytes: what it is, and whether it holds audio.
struct Signature {
    std::size_t at;
    std::string_view bytes;
    const char* what;
    bool audio;
};

using namespace std::string_view_literals;
// Checked in order; each names the format for a user.
constexpr Signature kSignatures[] = {
    {0, "fLaC"sv, kFlacFile, true},
    {0, "OggS"sv, "an Ogg file", true},
    {0, "ID3"sv, "an MP3 file", true},
    {0, "caff"sv, "a CAF file", true},
    {0, "RIFX"sv, "a big-endian RIFX file", true},
    {0, ".snd"sv, "a Sun AU file", true},
    {0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv, "an ASF (WMA) file", true},
    {0, "\x1A\x45\xDF\xA3"sv, "a Matroska or WebM file", true},
    {4, "ftypM4A "sv, "an MPEG-4 audio (M4A) file", true},
    {4, "ftypM4B "sv, "an MPEG-4 audio (M4B) file", true},
    {4, "ftyp"sv, "an MPEG-4 file", true},
    {0, "\x1F\x8B"sv, "a gzip file", false},
    {0, "\x89PNG\r\n\x1A\n"sv, "a PNG file", false},
    {0, "\xFF\xD8\xFF"sv, "a JPEG file", false},
    {0, "PK\x03\x04"sv, "a ZIP file", false},
    {0, "%PDF"sv, "a PDF file", false},
};

// What a file whose first bytes are `head` is, when they name a format other than
// WAV: by signature, or by two MPEG or AAC frame headers where the first one says, or
// as text. Nothing when a read fails.
std::optional<ForeignFormat> foreignFormat(std::span<const std::uint8_t> head, std::uint64_t length,
                                           const ReadAt& read) {
    const auto startsWith = [&](std::string_view bytes, std::size_t at = 0) {
        return head.size() >= at + bytes.size() && std::memcmp(head.data() + at, bytes.data(), bytes.size()) == 0;
    };
    if (startsWith("FORM") && startsWith("AIFF", 8)) return ForeignFormat{"an AIFF file", true};
    if (startsWith("FORM") && startsWith("AIFC", 8)) return ForeignFormat{"an AIFF-C file", true};
    for (const Signature& signature : kSignatures) {
        if (startsWith(signature.bytes, signature.at)) return ForeignFormat{signature.what, signature.audio};
    }
    // A stream of frames: a second header where the first frame ends.
    const auto secondFrame = [&](std::uint32_t frame, std::size_t headerBytes,
                                 std::uint32_t (*frameBytes)(const std::uint8_t*)) -> std::optional<bool> {
        if (frame == 0 || frame + headerBytes > length) return false;
        std::array<std::uint8_t, kAdtsHeaderBytes> second{};
        if (!read(frame, std::span(second).first(headerBytes))) return std::nullopt;
        return frameBytes(second.data()) != 0;
    };
    if (head.size() >= kMpegHeaderBytes) {
        const std::optional<bool> mpeg = secondFrame(mpegFrameBytes(head.data()), kMpegHeaderBytes, mpegFrameBytes);
        if (!mpeg) return std::nullopt;
        if (*mpeg) return ForeignFormat{"an MP3 file", true};
    }
    if (head.size() >= kAdtsHeaderBytes) {
        const std::optional<bool> adts = secondFrame(adtsFrameBytes(head.data()), kAdtsHeaderBytes, adtsFrameBytes);
        if (!adts) return std::nullopt;
        if (*adts) return ForeignFormat{"an AAC (ADTS) file", true};
    }
    std::array<std::uint8_t, kTextProbeBytes> text{};
    const std::span<std::uint8_t> probe = std::span(text).first(std::min<std::uint64_t>(length, text.size()));
    if (!probe.empty() && !read(0, probe)) return std::nullopt;
    if (!probe.empty() && isText(probe)) return ForeignFormat{"a text file", false};
    return ForeignFormat{};
}

}  // namespace

std::optional<WavLayout> findWavLayout(std::uint64_t length, const ReadAt& read) {
    WavLayout layout{Container::unknown, canonicalSamples(length), std::nullopt, {}};
    std::array<std::uint8_t, kSignatureBytes> bytes{};
    const std::span<std::uint8_t> head = std::span(bytes).first(std::min(length, kSignatureBytes));
    if (!head.empty() && !read(0, head)) {
        return std::nullopt;
    }
    const bool riffLike = head.size() >= kRiffHeaderBytes &&
                          (isId(&head[0], "RIFF") || isId(&head[0], "RF64") || isId(&head[0], "BW64"));
    if (riffLike && isId(&head[8], "WAVE")) {
        layout.container = isId(&head[0], "RIFF") ? Container::riff : Container::rf64;
        if (layout.container == Container::riff) {
            layout.sizes.push_back({4, 4, kRiffChunkHeaderBytes, little32(&head[4])});
        }
        return walkChunks(std::move(layout), kRiffChunks, length, read);
    }
    if (riffLike) {
        layout.container = Container::foreign;
        layout.foreign = {"a RIFF file of type '", true};  // AVI and the like may hold audio
        for (std::size_t i = 8; i < kRiffHeaderBytes; ++i) {
            layout.foreign.what += head[i] >= 0x20 && head[i] < 0x7F ? static_cast<char>(head[i]) : '?';
        }
        layout.foreign.what += "'";
        return layout;
    }
    if (head.size() == kWave64HeaderBytes && std::equal(kWave64Riff.begin(), kWave64Riff.end(), head.begin()) &&
        isChunk(&head[kWave64WaveAt], "wave", kWave64Chunks)) {
        layout.container = Container::wave64;
        layout.sizes.push_back({16, 8, 0, little64(&head[16])});
        return walkChunks(std::move(layout), kWave64Chunks, length, read);
    }
    std::optional<ForeignFormat> foreign = foreignFormat(head, length, read);
    if (!foreign) {
        return std::nullopt;
    }
    if (!foreign->what.empty()) {
        layout.container = Container::foreign;
        layout.foreign = std::move(*foreign);
    }
    return layout;
}

std::optional<std::uint64_t> SizeField::trueValue(std::uint64_t length) const {
    const std::uint64_t ones = bytes == 4 ? 0xFFFFFFFF : ~std::uint64_t{0};
    const std::uint64_t value = length < base ? 0 : length - base;
    const bool placeholder = declared == 0 || declared == ones || declared > value;
    if (!placeholder || value > ones || value == declared) return std::nullopt;
    return value;
}

std::string describeFormat(const DeclaredFormat& format) {
    if (!format.complete) {
        return "a format chunk too short to say what it holds";
    }
    char text[40];
    switch (format.formatTag) {
        case kFormatPcm:
            std::snprintf(text, sizeof text, "%u-bit PCM", unsigned{format.bitsPerSample});
            break;
        case kFormatFloat:
            std::snprintf(text, sizeof text, "%u-bit float", unsigned{format.bitsPerSample});
            break;
        default:
            std::snprintf(text, sizeof text, "format tag 0x%04X", unsigned{format.formatTag});
            break;
    }
    return text;
}

}  // namespace twoband
