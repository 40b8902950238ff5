#pragma once

// Where a file's samples are, and what its header declares. The one place that knows
// containers.
//
// The WAV containers, each a header and then chunks (an id, a little-endian size, the
// payload):
// - RIFF/WAVE: "RIFF", a 32-bit size, "WAVE"; 4-byte ids, 32-bit sizes, a pad byte
//   after an odd size.
// - RF64 and BW64: the same with "RF64" or "BW64" in front. A "ds64" chunk holds the
//   64-bit sizes; a data chunk whose 32-bit size is 0xFFFFFFFF takes its size from it.
// - Wave64: 16-byte GUID ids, 64-bit sizes that count the 24-byte chunk header, and
//   chunks aligned to 8 bytes.
// The walk stops at the first data chunk, or where the next chunk header no longer
// fits in the file.
// - With a data chunk whose payload starts at D, the samples are the bytes from
//   max(D, 44) to D + size; to the end of the file instead when the size is 0 or runs
//   past the end (streaming writers leave 0 or 0xFFFFFFFF; a cut download promises
//   more than it holds).
// - Without one the file is damaged (a chunk whose size runs past the end, a cut
//   header): the layout says where the walk ended, and holds byte 44 to the end as
//   the samples, for a reader that takes it header-blind.
// - A file that is no WAV container holds no samples to compress. Where its first
//   bytes name another format (FLAC, Ogg, MP3, AAC, AIFF, CAF, MPEG-4, AU, ASF,
//   Matroska, a RIFF file that is not WAVE, gzip, PNG, text ...) the layout says what
//   it is.
// Every other byte (header, other chunks, tags after the samples) is kept as it is.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine_pass.hpp"

namespace twoband {

// Format tags, and where an extensible chunk holds its valid bits and its sub-format
// GUID (a 16-bit tag, then a common tail).
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::size_t kValidBitsAt = 18;
constexpr std::size_t kSubFormatAt = 24;

// Container fields that the layout reads and a conversion rewrites: the RIFF size after
// the form's four letters; the 32-bit size that says "see ds64" (or, elsewhere, "not
// known"); the data size in a ds64 payload (after the 64-bit RIFF size); a Wave64 chunk
// header (GUID and 64-bit size) and the alignment of its chunks.
constexpr std::uint64_t kRiffSizeAt = 4;
constexpr std::uint64_t kPlaceholderSize = 0xFFFFFFFF;
constexpr std::uint64_t kDs64DataSizeAt = 8;
constexpr std::uint64_t kWave64ChunkHeaderBytes = 24;
constexpr std::uint64_t kWave64Alignment = 8;

// What the first "fmt " chunk before the samples declares.
struct DeclaredFormat {
    // The format tag; for WAVE_FORMAT_EXTENSIBLE (0xFFFE) with a standard sub-format
    // GUID, the sub-format's tag (1 for PCM, 3 for float).
    std::uint16_t formatTag;
    std::uint16_t channels;
    std::uint16_t blockAlign;
    std::uint16_t bitsPerSample;
    // The chunk held every field its tag needs.
    bool complete;
    // 16-bit integer PCM: a complete chunk of tag 1 at 16 bits per sample.
    bool pcm16;
    // Frames per second; 0 where the chunk is too short to say.
    std::uint32_t sampleRate = 0;
    bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE, with its 40-byte chunk
};

// Where the fields stand that say what the samples are and how many there are (file
// offsets of chunk payloads), for an output that changes the sample format.
struct HeaderPlaces {
    std::uint64_t format = 0;              // the first "fmt " chunk's payload
    std::optional<std::uint64_t> fact;     // a "fact" chunk's, of 4 bytes or more
    std::optional<std::uint64_t> ds64;     // a "ds64" chunk's, of 24 bytes or more
    std::uint64_t dataHeader = 0;          // the data chunk's header
    std::uint64_t dataSize = 0;            // its size field as written (32 or 64 bits)
    std::optional<std::uint64_t> ds64DataSize;  // the size the ds64 chunk gives it
};

enum class Container {
    unknown,  // no known format: not a WAV file
    riff,
    rf64,     // RF64 or BW64
    wave64,
    foreign,  // another format, not a WAV file
};

// What a FLAC file is called in messages, and how its first bytes tell it.
inline constexpr char kFlacFile[] = "a FLAC file";

// A format other than WAV, as its first bytes tell it.
struct ForeignFormat {
    std::string what;    // "a FLAC file"; empty when nothing tells
    bool audio = false;  // it holds sound another program can convert
};

// Where a data chunk's samples end when its size says "to the end" (0, or 0xFFFFFFFF
// without a ds64 size).
constexpr std::uint64_t kToTheEnd = std::numeric_limits<std::uint64_t>::max();

// A size field of the header that may be a placeholder: a streaming writer's 0 or all
// ones, or a size past the end. Its true value is the file's length less `base`.
struct SizeField {
    std::uint64_t at;        // where it is
    std::uint8_t bytes;      // 4 or 8, little-endian
    std::uint64_t base;      // where what it counts starts
    std::uint64_t declared;  // what it says

    // The true value where the field holds a placeholder in a file of `length` bytes;
    // nothing where it holds a size (or the true one would not fit).
    std::optional<std::uint64_t> trueValue(std::uint64_t length) const;
};

struct WavLayout {
    Container container;
    SampleRange samples;
    std::optional<DeclaredFormat> format;  // when the walk met a "fmt " chunk
    ForeignFormat foreign;                 // what a foreign file is
    // Where the data chunk says its samples end, whatever the length: for a reader
    // that cannot measure the file (a stream). Nothing without a data chunk.
    std::optional<std::uint64_t> declaredEnd = std::nullopt;
    // Why a WAV container holds no data chunk: which chunk ended the walk, where
    // ("no data chunk: the 'LIST' chunk at byte 36 says 99999 bytes, past the end
    // (30080 bytes)"); empty with a data chunk, and for other files.
    std::string damage = {};
    HeaderPlaces places = {};
    // The size fields before the samples that count to the end of the file: the RIFF
    // and data sizes of a plain RIFF file, the ds64 sizes of RF64 and BW64 (whose
    // 0xFFFFFFFF pointing to ds64 is no placeholder), the Wave64 sizes.
    std::vector<SizeField> sizes = {};
};

// True for the containers whose sizes are 64-bit, which may hold 4 GiB or more.
constexpr bool holdsAnySize(Container container) {
    return container == Container::rf64 || container == Container::wave64;
}

// Reads exactly `into.size()` bytes at `offset`; false when that fails. The walk
// asks only for bytes inside the file's length.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

// The layout of a file of `length` bytes; nothing when a read fails.
std::optional<WavLayout> findWavLayout(std::uint64_t length, const ReadAt& read);

// The declared format in words, for a refusal: "24-bit PCM", "32-bit float".
std::string describeFormat(const DeclaredFormat& format);

}  // namespace twoband
