#include "files/output_mark.hpp"

#include <array>
#include <cstdio>
#include <vector>

#include "files/input.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace twoband {

namespace {

constexpr std::string_view kMarkHeading = "twoband-mark 1\n";
constexpr std::size_t kDigestDigits = 32;
// A proof reads the file in blocks of this size.
constexpr std::size_t kProofBlockBytes = 1024 * 1024;

}  // namespace

struct DigestStream::State {
    XXH3_state_t xxh;
};

DigestStream::DigestStream() : state_(std::make_unique<State>()) { XXH3_128bits_reset(&state_->xxh); }
DigestStream::DigestStream(DigestStream&&) noexcept = default;
DigestStream& DigestStream::operator=(DigestStream&&) noexcept = default;
DigestStream::~DigestStream() = default;

void DigestStream::add(std::span<const std::uint8_t> bytes) {
    XXH3_128bits_update(&state_->xxh, bytes.data(), bytes.size());
}

Digest DigestStream::digest() const {
    const XXH128_hash_t hash = XXH3_128bits_digest(&state_->xxh);
    return {hash.high64, hash.low64};
}

std::string encodeMark(const OutputMark& mark) {
    char digits[kDigestDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx%016llx", static_cast<unsigned long long>(mark.digest.high),
                  static_cast<unsigned long long>(mark.digest.low));
    return std::string(kMarkHeading) + digits + "\n" + mark.input;
}

std::optional<OutputMark> decodeMark(std::string_view record) {
    if (!record.starts_with(kMarkHeading) || record.size() < kMarkHeading.size() + kDigestDigits + 1 ||
        record[kMarkHeading.size() + kDigestDigits] != '\n') {
        return std::nullopt;
    }
    OutputMark mark;
    for (std::size_t i = 0; i < kDigestDigits; ++i) {
        const char c = record[kMarkHeading.size() + i];
        const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0) return std::nullopt;
        std::uint64_t& half = i < kDigestDigits / 2 ? mark.digest.high : mark.digest.low;
        half = half << 4 | static_cast<unsigned>(value);
    }
    mark.input = record.substr(kMarkHeading.size() + kDigestDigits + 1);
    return mark;
}

Proof proveOutput(const std::string& name, const std::string& inputName, std::string& reason) {
    std::optional<InputFile> file = InputFile::open(name, reason);
    if (!file) {
        return Proof::unreadable;
    }
    std::error_code error;
    const std::optional<std::string> record = file->mark(name, error);
    if (!record) {
        if (error && error != std::errc::not_supported) reason = error.message();
        return error == std::errc::not_supported ? Proof::noMarks : error ? Proof::unreadable : Proof::unmarked;
    }
    const std::optional<OutputMark> mark = decodeMark(*record);
    if (!mark || mark->input != inputName) {
        return Proof::unmarked;
    }
    DigestStream digest;
    std::vector<std::uint8_t> block(kProofBlockBytes);
    for (std::uint64_t at = 0; at < file->size(); at += block.size()) {
        const std::optional<std::size_t> got = file->readAt(at, block, error);
        if (!got) {
            reason = error.message();
            return Proof::unreadable;
        }
        digest.add(std::span(block).first(*got));
        if (*got < block.size()) break;
    }
    return digest.digest() == mark->digest ? Proof::proven : Proof::changed;
}

std::optional<std::string> markedInputOf(const std::string& name) {
    std::string reason;
    std::optional<InputFile> file = InputFile::open(name, reason);
    std::error_code error;
    const std::optional<std::string> record = file ? file->mark(name, error) : std::nullopt;
    const std::optional<OutputMark> mark = record ? decodeMark(*record) : std::nullopt;
    if (!mark) return std::nullopt;
    return mark->input;
}

}  // namespace twoband
