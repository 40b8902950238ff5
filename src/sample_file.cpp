#include "sample_file.hpp"

#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "engine/engine_state.hpp"

namespace twoband {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

// The length of a regular file, or nothing for a directory, a device or a name
// whose length cannot be determined.
std::optional<std::uintmax_t> regularFileLength(const char* name) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error)) {
        return std::nullopt;
    }
    const std::uintmax_t length = std::filesystem::file_size(name, error);
    if (error) {
        return std::nullopt;
    }
    return length;
}

// Writes the whole buffer and closes the file; a short write or a failed flush or
// close counts as failure.
bool writeAndClose(std::FILE* output, std::span<const std::uint8_t> bytes) {
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
    const bool closed = std::fclose(output) == 0;
    return written && closed;
}

}  // namespace

std::size_t readBytes(std::FILE* file, std::uint8_t* into, std::size_t size) {
    return std::fread(into, 1, size, file);
}

void deriveOutputName(PathBuffer& path) {
    const std::size_t length = std::strlen(path.data());
    std::size_t insertAt = 0;
    for (std::size_t i = length; i > 0; --i) {
        if (path[i - 1] == '/' || path[i - 1] == '\\') {
            insertAt = i;
            break;
        }
    }
    // Shift the file-name part and its NUL one place right; 125 characters and the NUL
    // still fit in the buffer.
    std::memmove(path.data() + insertAt + 1, path.data() + insertAt, length - insertAt + 1);
    path[insertAt] = 'C';
}

void runSampleFile(PathBuffer& path, const Settings& settings, std::FILE* console,
                   ReadFunction read) {
    const InputFile input{std::fopen(path.data(), "rb")};
    const std::optional<std::uintmax_t> length =
        input ? regularFileLength(path.data()) : std::nullopt;
    if (!length) {
        std::fprintf(console, "Could not open %s !\n\n", path.data());
        return;
    }
    if (*length < kMinSampleLength) {
        std::fputs("This sample is too short for being compressed !\n", console);
        return;
    }
    // The length is kept as an unsigned 32-bit count.
    if (*length > std::numeric_limits<std::uint32_t>::max()) {
        std::fputs("This sample is too long for being compressed !\n", console);
        return;
    }
    const auto size = static_cast<std::size_t>(*length);
    const std::unique_ptr<std::uint8_t[]> sample{new (std::nothrow) std::uint8_t[size]};
    if (!sample) {
        std::fputs("Not enough available memory !\n", console);
        return;
    }

    std::fputs("Processing...\n\n", console);
    std::fflush(console);
    // A file that shrank or failed mid-read must not be processed with unread bytes.
    if (read(input.get(), sample.get(), size) != size) {
        std::fprintf(console, "Could not read %s !\n", path.data());
        return;
    }
    const std::span<std::uint8_t> bytes{sample.get(), size};
    processBuffer(bytes, settings, console);

    std::fputs("Updating file...\n", console);
    deriveOutputName(path);
    std::FILE* output = std::fopen(path.data(), "wb");
    if (output == nullptr) {
        std::fprintf(console, "Could not overwrite %s !\n", path.data());
        return;
    }
    if (!writeAndClose(output, bytes)) {
        std::fprintf(console, "Could not write %s !\n", path.data());
        std::remove(path.data());  // never leave a truncated result behind
        return;
    }
    std::fputs("Done !\n", console);
}

}  // namespace twoband
