#include "system_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace twoband {

namespace {

#ifdef _WIN32
using FileStatus = struct _stat64;
constexpr int kReadFlags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;
constexpr int kWriteFlags = _O_WRONLY | _O_BINARY | _O_NOINHERIT;
constexpr int kCreateFlags = kWriteFlags | _O_CREAT | _O_EXCL;
constexpr int kCreateMode = _S_IREAD | _S_IWRITE;
int openFile(const char* name, int flags, int mode = 0) { return _open(name, flags, mode); }
int closeFile(int descriptor) { return _close(descriptor); }
int statusOf(int descriptor, FileStatus& status) { return _fstat64(descriptor, &status); }
int syncFile(int descriptor) { return _commit(descriptor); }
int removeFile(const char* name) { return _unlink(name); }
bool isRegular(const FileStatus& status) { return (status.st_mode & _S_IFMT) == _S_IFREG; }
bool isDirectory(const FileStatus& status) { return (status.st_mode & _S_IFMT) == _S_IFDIR; }
// Windows has no positional read or write: seek first (the file is not shared).
long long readFile(int descriptor, std::uint8_t* into, std::size_t size, std::uint64_t offset) {
    if (_lseeki64(descriptor, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
    return _read(descriptor, into, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}
long long writeFile(int descriptor, const std::uint8_t* bytes, std::size_t size) {
    return _write(descriptor, bytes, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}
#else
using FileStatus = struct stat;
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
constexpr int kCreateFlags = O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL;
constexpr mode_t kCreateMode = 0666;
int openFile(const char* name, int flags, mode_t mode = 0) { return ::open(name, flags, mode); }
int closeFile(int descriptor) { return ::close(descriptor); }
int statusOf(int descriptor, FileStatus& status) { return ::fstat(descriptor, &status); }
int syncFile(int descriptor) { return ::fsync(descriptor); }
int removeFile(const char* name) { return ::unlink(name); }
bool isRegular(const FileStatus& status) { return S_ISREG(status.st_mode); }
bool isDirectory(const FileStatus& status) { return S_ISDIR(status.st_mode); }
long long readFile(int descriptor, std::uint8_t* into, std::size_t size, std::uint64_t offset) {
    return ::pread(descriptor, into, size, static_cast<off_t>(offset));
}
long long writeFile(int descriptor, const std::uint8_t* bytes, std::size_t size) {
    return ::write(descriptor, bytes, size);
}
#endif

std::error_code lastError() { return {errno, std::generic_category()}; }

}  // namespace

SystemFile::~SystemFile() {
    if (descriptor_ >= 0) closeFile(descriptor_);
}

SystemFile::SystemFile(SystemFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

SystemFile& SystemFile::operator=(SystemFile&& other) noexcept {
    std::swap(descriptor_, other.descriptor_);
    return *this;
}

SystemFile SystemFile::openForReading(const char* name, std::error_code& error) {
    SystemFile file{openFile(name, kReadFlags)};
    if (!file) error = lastError();
    return file;
}

SystemFile SystemFile::openForWriting(const char* name, std::error_code& error) {
    SystemFile file{openFile(name, kWriteFlags)};
    if (!file) error = lastError();
    return file;
}

SystemFile SystemFile::createNew(const char* name, std::error_code& error) {
    SystemFile file{openFile(name, kCreateFlags, kCreateMode)};
    if (!file) error = lastError();
    return file;
}

std::optional<SystemFile::Status> SystemFile::status(std::error_code& error) const {
    FileStatus status{};
    if (statusOf(descriptor_, status) != 0) {
        error = lastError();
        return std::nullopt;
    }
    return Status{isRegular(status), isDirectory(status), static_cast<std::uint64_t>(status.st_size)};
}

std::optional<std::size_t> SystemFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                              std::error_code& error) const {
    std::size_t done = 0;
    while (done < into.size()) {
        const long long got = readFile(descriptor_, into.data() + done, into.size() - done, offset + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = lastError();
            return std::nullopt;
        }
        if (got == 0) break;  // the end of the file
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool SystemFile::writeAll(std::span<const std::uint8_t> bytes, std::error_code& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long long put = writeFile(descriptor_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? lastError() : std::make_error_code(std::errc::io_error);
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool SystemFile::sync(std::error_code& error) {
    if (syncFile(descriptor_) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

bool SystemFile::close(std::error_code& error) {
    const int descriptor = std::exchange(descriptor_, -1);
    if (closeFile(descriptor) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

void removeName(const char* name) { removeFile(name); }

}  // namespace twoband
