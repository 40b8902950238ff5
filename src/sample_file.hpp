#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "settings.hpp"

namespace twoband {

// A file name of at most kMaxNameLength characters, NUL-terminated, with room for
// the output name's extra 'C'.
constexpr std::size_t kPathBufferSize = 128;
constexpr std::size_t kMaxNameLength = 124;
using PathBuffer = std::array<char, kPathBufferSize>;

// Shorter files are refused.
constexpr std::size_t kMinSampleLength = 20000;

// Reads up to `size` bytes of `file` into `into` and returns how many arrived.
using ReadFunction = std::size_t (*)(std::FILE* file, std::uint8_t* into, std::size_t size);
std::size_t readBytes(std::FILE* file, std::uint8_t* into, std::size_t size);

// Loads the file named in `path` with one call of `read`, compresses it and writes the
// result to the output name, which replaces the input name in `path`. Every outcome,
// success or failure, is reported on `console`; when the system refuses a file, one
// line on `diagnostics` gives its reason. True when the output was written.
bool runSampleFile(PathBuffer& path, const Settings& settings, std::FILE* console,
                   std::FILE* diagnostics, ReadFunction read = readBytes);

// Turns an input name into its output name in place: a 'C' goes in front of the
// file-name part, after the last '/' or '\' if there is one.
void deriveOutputName(PathBuffer& path);

}  // namespace twoband
