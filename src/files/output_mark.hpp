#pragma once

// What proves a file an output of this program: a mark it carries beside its bytes
// (system_file.hpp keeps it: an extended attribute, or an alternate data stream on
// NTFS), written as the output takes its name. The mark names the input by its file
// name and holds the XXH3-128 digest of the output's bytes, taken as they streamed
// out. A file at an output name is replaced only when its mark names the input and
// its bytes still give the digest; an output edited in place afterwards is the
// user's again. A file without a mark is the user's, whatever its name.
//
// The record, version 1, text: "twoband-mark 1\n", the digest in 32 lowercase hex
// digits and "\n", then the input's file name to the end.

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace twoband {

struct Digest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    auto operator<=>(const Digest&) const = default;
};

// The XXH3-128 digest of bytes given in any number of pieces.
class DigestStream {
public:
    DigestStream();
    DigestStream(DigestStream&&) noexcept;
    DigestStream& operator=(DigestStream&&) noexcept;
    ~DigestStream();

    void add(std::span<const std::uint8_t> bytes);
    Digest digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

struct OutputMark {
    std::string input;  // the input's file name; empty for standard input
    Digest digest;
};

std::string encodeMark(const OutputMark& mark);
// Nothing for a record of another version, or none.
std::optional<OutputMark> decodeMark(std::string_view record);

// What the file at an output name is, to the input named `inputName`.
enum class Proof {
    proven,     // its mark names the input, and its bytes give the mark's digest
    unmarked,   // no mark, or one that names another input
    changed,    // marked as the input's output, but its bytes changed since
    noMarks,    // its file system keeps no marks, so nothing can be proven
    unreadable, // it cannot be read (why in `reason`)
};
Proof proveOutput(const std::string& name, const std::string& inputName, std::string& reason);

// The input file name the mark of the file at `name` names; nothing where it has no
// mark (or none can be read).
std::optional<std::string> markedInputOf(const std::string& name);

}  // namespace twoband
