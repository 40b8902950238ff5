#include "sample_file.hpp"

#include <cerrno>
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

// The length of a regular file; for a directory, a device or a name whose length
// cannot be determined, nothing and the reason in `error`.
std::optional<std::uintmax_t> regularFileLength(const char* name, std::error_code& error) {
    const std::filesystem::file_status status = std::filesystem::status(name, error);
    if (!error && !std::filesystem::is_regular_file(status)) {
        error = std::make_error_code(std::filesystem::is_directory(status)
                                         ? std::errc::is_a_directory
                                         : std::errc::invalid_argument);
    }
    if (error) {
        return std::nullopt;
    }
    const std::uintmax_t length = std::filesystem::file_size(name, error);
    if (error) {
        return std::nullopt;
    }
    return length;
}

// One line on `diagnostics`: the file and the system's reason for refusing it.
void reportSystemError(std::FILE* diagnostics, const char* name, const std::error_code& error) {
    std::fprintf(diagnostics, "twoband: %s: %s\n", name, error.message().c_str());
}

std::error_code lastSystemError() { return {errno, std::generic_category()}; }

// Writes the whole buffer and closes the file; a short write or a failed flush or
// close counts as failure, with its reason in `error`.
bool writeAndClose(std::FILE* output, std::span<const std::uint8_t> bytes, std::error_code& error) {
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
    if (!written) error = lastSystemError();
    const bool closed = std::fclose(output) == 0;
    if (written && !closed) error = lastSystemError();
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

bool runSampleFile(PathBuffer& path, const Settings& settings, std::FILE* console,
                   std::FILE* diagnostics, ReadFunction read) {
    const InputFile input{std::fopen(path.data(), "rb")};
    std::error_code error = input ? std::error_code{} : lastSystemError();
    const std::optional<std::uintmax_t> length =
        input ? regularFileLength(path.data(), error) : std::nullopt;
    if (!length) {
        std::fprintf(console, "Could not open %s !\n\n", path.data());
        reportSystemError(diagnostics, path.data(), error);
        return false;
    }
    if (*length < kMinSampleLength) {
        std::fputs("This sample is too short for being compressed !\n", console);
        return false;
    }
    // The length is kept as an unsigned 32-bit count.
    if (*length > std::numeric_limits<std::uint32_t>::max()) {
        std::fputs("This sample is too long for being compressed !\n", console);
        return false;
    }
    const auto size = static_cast<std::size_t>(*length);
    const std::unique_ptr<std::uint8_t[]> sample{new (std::nothrow) std::uint8_t[size]};
    if (!sample) {
        std::fputs("Not enough available memory !\n", console);
        return false;
    }

    std::fputs("Processing...\n\n", console);
    std::fflush(console);
    // A file that shrank or failed mid-read must not be processed with unread bytes.
    errno = 0;
    if (read(input.get(), sample.get(), size) != size) {
        std::fprintf(console, "Could not read %s !\n", path.data());
        reportSystemError(diagnostics, path.data(),
                          errno != 0 ? lastSystemError() : std::make_error_code(std::errc::io_error));
        return false;
    }
    const std::span<std::uint8_t> bytes{sample.get(), size};
    processBuffer(bytes, settings, console);

    std::fputs("Updating file...\n", console);
    deriveOutputName(path);
    std::FILE* output = std::fopen(path.data(), "wb");
    if (output == nullptr) {
        std::fprintf(console, "Could not overwrite %s !\n", path.data());
        reportSystemError(diagnostics, path.data(), lastSystemError());
        return false;
    }
    if (!writeAndClose(output, bytes, error)) {
        std::fprintf(console, "Could not write %s !\n", path.data());
        reportSystemError(diagnostics, path.data(), error);
        std::remove(path.data());  // never leave a truncated result behind
        return false;
    }
    std::fputs("Done !\n", console);
    return true;
}

}  // namespace twoband
