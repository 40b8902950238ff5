#include "files/system_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace twoband {

#ifdef _WIN32

namespace {

// Reasons worded by Windows itself: FormatMessageW, in UTF-8, one line.
class WindowsCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string message = length != 0 ? utf8FromWide(text, length) : "Windows error " + std::to_string(code);
        LocalFree(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
            message.pop_back();
        }
        return message;
    }
};

std::error_code lastError() { return windowsError(GetLastError()); }

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t openHandle(const NativeChar* name, DWORD access, DWORD share, DWORD disposition,
                         DWORD flags, std::error_code& error) {
    const HANDLE handle = CreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                    ? std::make_error_code(std::errc::file_exists)
                    : windowsError(code);
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One read or write asks for at most this much.
constexpr std::size_t kMostPerCall = 1u << 30;

}  // namespace

std::error_code windowsError(unsigned long code) {
    static const WindowsCategory category;
    return {static_cast<int>(code), category};
}

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::string utf8FromWide(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int size = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
    return utf8;
}

NativeName nativeName(const std::string& name) {
    std::wstring wide = wideFromUtf8(name);
    // Shorter names need no long form; CreateDirectory's limit is the lowest.
    constexpr std::size_t kShortLimit = MAX_PATH - 12;
    if (wide.size() < kShortLimit || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
        return wide;
    }
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD got = needed == 0 ? 0 : GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (got == 0 || got >= needed) {
        return wide;  // the calls report what is wrong with it
    }
    full.resize(got);
    return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

SystemFile::~SystemFile() {
    if (handle_ != kClosed) CloseHandle(handleOf(handle_));
}

SystemFile SystemFile::openForReading(const std::string& name, std::error_code& error) {
    // Backup semantics let a folder open, so that it is refused as a folder.
    return SystemFile{openHandle(nativeName(name).c_str(), GENERIC_READ, kShareAll, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, error)};
}

SystemFile SystemFile::openForWriting(const std::string& name, std::error_code& error) {
    return SystemFile{openHandle(nativeName(name).c_str(), GENERIC_WRITE, kShareAll, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, error)};
}

SystemFile SystemFile::createNew(const NativeChar* name, std::error_code& error) {
    return SystemFile{openHandle(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, error)};
}

SystemFile SystemFile::createScratch(const NativeChar* name, std::error_code& error) {
    return SystemFile{openHandle(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY, error)};
}

std::string temporaryFolder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    return length == 0 || length > MAX_PATH ? std::string(".") : utf8FromWide(folder, length);
}

namespace {

// A standard handle of its own: the C library's stream is switched to binary mode
// as well, though the bytes go past it.
std::intptr_t duplicateStandard(DWORD which, int descriptor, std::error_code& error) {
    _setmode(descriptor, _O_BINARY);
    HANDLE duplicate = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, GetStdHandle(which), process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        error = lastError();
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(duplicate);
}

}  // namespace

SystemFile SystemFile::standardInput(std::error_code& error) {
    return SystemFile{duplicateStandard(STD_INPUT_HANDLE, _fileno(stdin), error)};
}

SystemFile SystemFile::standardOutput(std::error_code& error) {
    std::fflush(stdout);
    return SystemFile{duplicateStandard(STD_OUTPUT_HANDLE, _fileno(stdout), error)};
}

std::optional<std::size_t> SystemFile::read(std::span<std::uint8_t> into, std::error_code& error) {
    std::size_t done = 0;
    while (done < into.size()) {
        DWORD got = 0;
        const auto asked = static_cast<DWORD>(std::min(into.size() - done, kMostPerCall));
        if (!ReadFile(handleOf(handle_), into.data() + done, asked, &got, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;  // the writer closed
            error = lastError();
            return std::nullopt;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

bool SystemFile::isTerminal() const {
    DWORD mode = 0;
    return GetFileType(handleOf(handle_)) == FILE_TYPE_CHAR && GetConsoleMode(handleOf(handle_), &mode);
}

std::optional<SystemFile::Status> SystemFile::status(std::error_code& error) const {
    const HANDLE handle = handleOf(handle_);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        error = lastError();
        return std::nullopt;
    }
    const bool directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return Status{GetFileType(handle) == FILE_TYPE_DISK && !directory, directory,
                  static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow, 0};
}

std::optional<FileIdentity> SystemFile::identity() const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handleOf(handle_), &information)) {
        return std::nullopt;
    }
    return FileIdentity{information.dwVolumeSerialNumber,
                        static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
}

std::optional<std::size_t> SystemFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                              std::error_code& error) const {
    std::size_t done = 0;
    while (done < into.size()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const auto asked = static_cast<DWORD>(std::min(into.size() - done, kMostPerCall));
        if (!ReadFile(handleOf(handle_), into.data() + done, asked, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            error = lastError();
            return std::nullopt;
        }
        if (got == 0) break;  // the end of the file
        done += got;
    }
    return done;
}

bool SystemFile::writeAll(std::span<const std::uint8_t> bytes, std::error_code& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        const auto asked = static_cast<DWORD>(std::min(bytes.size() - done, kMostPerCall));
        if (!WriteFile(handleOf(handle_), bytes.data() + done, asked, &put, nullptr)) {
            const DWORD code = GetLastError();
            const bool readerGone = code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
            error = readerGone ? std::make_error_code(std::errc::broken_pipe) : windowsError(code);
            return false;
        }
        done += put;
    }
    return true;
}

bool SystemFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::error_code& error) {
    for (std::size_t done = 0; done < bytes.size();) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD put = 0;
        const auto asked = static_cast<DWORD>(std::min(bytes.size() - done, kMostPerCall));
        if (!WriteFile(handleOf(handle_), bytes.data() + done, asked, &put, &at) || put == 0) {
            error = lastError();
            return false;
        }
        done += put;
    }
    // A write at an offset moves the file pointer there; later writes go to the end.
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handleOf(handle_), zero, nullptr, FILE_END)) {
        error = lastError();
        return false;
    }
    return true;
}

bool SystemFile::setMode(std::uint32_t, std::error_code&) { return true; }

namespace {

constexpr wchar_t kMarkStream[] = L":twoband.mark";
// The most a mark may hold: a record of a few hundred bytes.
constexpr DWORD kMostMarkBytes = 64 * 1024;

// Whether the volume of an open file keeps alternate data streams (NTFS, ReFS; not
// FAT, exFAT or Wine's emulation).
bool keepsStreams(HANDLE handle) {
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

}  // namespace

bool SystemFile::setMark(const NativeChar* name, std::string_view mark, std::error_code& error) {
    if (!keepsStreams(handleOf(handle_))) {
        error = std::make_error_code(std::errc::not_supported);
        return false;
    }
    const HANDLE stream = CreateFileW((std::wstring(name) + kMarkStream).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        error = lastError();
        return false;
    }
    DWORD put = 0;
    const bool written = WriteFile(stream, mark.data(), static_cast<DWORD>(mark.size()), &put, nullptr) &&
                         put == mark.size();
    if (!written) error = lastError();
    CloseHandle(stream);
    return written;
}

std::optional<std::string> SystemFile::mark(const std::string& name, std::error_code& error) const {
    if (!keepsStreams(handleOf(handle_))) {
        error = std::make_error_code(std::errc::not_supported);
        return std::nullopt;
    }
    const HANDLE stream = CreateFileW((nativeName(name) + kMarkStream).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) error = windowsError(code);
        return std::nullopt;
    }
    std::string mark(kMostMarkBytes, '\0');
    DWORD got = 0;
    const bool read = ReadFile(stream, mark.data(), kMostMarkBytes, &got, nullptr);
    if (!read) error = lastError();
    CloseHandle(stream);
    if (!read) return std::nullopt;
    mark.resize(got);
    return mark;
}

bool SystemFile::sync(std::error_code& error) {
    if (!FlushFileBuffers(handleOf(handle_))) {
        error = lastError();
        return false;
    }
    return true;
}

bool SystemFile::close(std::error_code& error) {
    if (!CloseHandle(handleOf(std::exchange(handle_, kClosed)))) {
        error = lastError();
        return false;
    }
    return true;
}

std::optional<NameStatus> statusOfName(const std::string& name, std::error_code& error) {
    const DWORD attributes = GetFileAttributesW(nativeName(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return NameStatus{NameStatus::Kind::missing, 0};
        }
        error = windowsError(code);
        return std::nullopt;
    }
    const NameStatus::Kind kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? NameStatus::Kind::other
                                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? NameStatus::Kind::directory
                                                                                  : NameStatus::Kind::regular;
    return NameStatus{kind, 0};
}

bool nameExists(const std::string& name) {
    return GetFileAttributesW(nativeName(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

bool makeFolder(const std::string& name, std::error_code& error) {
    if (CreateDirectoryW(nativeName(name).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    error = lastError();
    return false;
}

}  // namespace

std::optional<FileIdentity> standardOutputIdentity() {
    BY_HANDLE_FILE_INFORMATION information{};
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    return FileIdentity{information.dwVolumeSerialNumber,
                        static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
}

bool renameOver(const NativeChar* from, const std::string& to, std::error_code& error) {
    if (!MoveFileExW(from, nativeName(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = lastError();
        return false;
    }
    return true;
}

void removeName(const NativeChar* name) { DeleteFileW(name); }

std::string foldedName(const std::string& name) {
    std::wstring wide = wideFromUtf8(name);
    CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return utf8FromWide(wide.data(), wide.size());
}

namespace {

// Calls `each` with every entry of a FindFirstFileW search for `pattern` but "." and "..".
template <typename Each>
bool findEach(const std::string& pattern, std::error_code& error, Each each) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(nativeName(pattern).c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) return true;  // nothing there
        error = windowsError(code);
        return false;
    }
    do {
        const std::string name = utf8FromWide(found.cFileName, wcslen(found.cFileName));
        if (name != "." && name != "..") each(name, found.dwFileAttributes);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

}  // namespace

std::optional<std::vector<FolderEntry>> listFolder(const std::string& folder, std::error_code& error) {
    std::vector<FolderEntry> entries;
    const bool read = findEach(folder + "\\*", error, [&](const std::string& name, DWORD attributes) {
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back({name, isFolder ? (link ? FolderEntry::Kind::other : FolderEntry::Kind::folder)
                                          : FolderEntry::Kind::file});
    });
    if (!read) return std::nullopt;
    return entries;
}

std::vector<std::string> expandWildcards(const std::string& pattern) {
    const std::size_t separator = pattern.find_last_of("/\\");
    const std::string folder = separator == std::string::npos ? "" : pattern.substr(0, separator + 1);
    std::vector<std::string> names;
    std::error_code ignored;
    findEach(pattern, ignored, [&](const std::string& name, DWORD) { names.push_back(folder + name); });
    std::sort(names.begin(), names.end());
    return names;
}

#else

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
constexpr int kCreateFlags = O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL;
constexpr mode_t kCreateMode = 0666;

std::intptr_t openFile(const char* name, int flags, std::error_code& error) {
    const int descriptor = ::open(name, flags, kCreateMode);
    if (descriptor < 0) error = lastError();
    return descriptor;
}

int descriptorOf(std::intptr_t handle) { return static_cast<int>(handle); }

// Fills `into` by calls of `readSome(done)`, each reading the bytes from `done` on,
// until it is full or a call finds the end.
template <typename ReadSome>
std::optional<std::size_t> readAll(std::span<std::uint8_t> into, std::error_code& error, ReadSome readSome) {
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t got = readSome(done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = lastError();
            return std::nullopt;
        }
        if (got == 0) break;  // the end
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Writes all of `bytes` by calls of `writeSome(done)`, each writing the bytes from
// `done` on, past interruptions and short writes.
template <typename WriteSome>
bool writeAll(std::span<const std::uint8_t> bytes, std::error_code& error, WriteSome writeSome) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t put = writeSome(done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? lastError() : std::make_error_code(std::errc::io_error);
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

NativeName nativeName(const std::string& name) { return name; }

SystemFile::~SystemFile() {
    if (handle_ != kClosed) ::close(descriptorOf(handle_));
}

SystemFile SystemFile::openForReading(const std::string& name, std::error_code& error) {
    return SystemFile{openFile(name.c_str(), kReadFlags, error)};
}

SystemFile SystemFile::openForWriting(const std::string& name, std::error_code& error) {
    return SystemFile{openFile(name.c_str(), kWriteFlags, error)};
}

SystemFile SystemFile::createNew(const NativeChar* name, std::error_code& error) {
    return SystemFile{openFile(name, kCreateFlags, error)};
}

SystemFile SystemFile::createScratch(const NativeChar* name, std::error_code& error) {
    return SystemFile{openFile(name, (kCreateFlags & ~O_WRONLY) | O_RDWR, error)};
}

std::string temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

namespace {

std::intptr_t duplicateStandard(int descriptor, std::error_code& error) {
    const int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) error = lastError();
    return duplicate;
}

}  // namespace

SystemFile SystemFile::standardInput(std::error_code& error) {
    return SystemFile{duplicateStandard(STDIN_FILENO, error)};
}

SystemFile SystemFile::standardOutput(std::error_code& error) {
    return SystemFile{duplicateStandard(STDOUT_FILENO, error)};
}

std::optional<std::size_t> SystemFile::read(std::span<std::uint8_t> into, std::error_code& error) {
    return readAll(into, error, [&](std::size_t done) {
        return ::read(descriptorOf(handle_), into.data() + done, into.size() - done);
    });
}

bool SystemFile::isTerminal() const { return ::isatty(descriptorOf(handle_)) == 1; }

std::optional<SystemFile::Status> SystemFile::status(std::error_code& error) const {
    struct stat status {};
    if (::fstat(descriptorOf(handle_), &status) != 0) {
        error = lastError();
        return std::nullopt;
    }
    return Status{S_ISREG(status.st_mode), S_ISDIR(status.st_mode), static_cast<std::uint64_t>(status.st_size),
                  static_cast<std::uint32_t>(status.st_mode & 0777)};
}

std::optional<FileIdentity> SystemFile::identity() const {
    struct stat status {};
    if (::fstat(descriptorOf(handle_), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<std::size_t> SystemFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                              std::error_code& error) const {
    return readAll(into, error, [&](std::size_t done) {
        return ::pread(descriptorOf(handle_), into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    });
}

bool SystemFile::writeAll(std::span<const std::uint8_t> bytes, std::error_code& error) {
    return twoband::writeAll(bytes, error, [&](std::size_t done) {
        return ::write(descriptorOf(handle_), bytes.data() + done, bytes.size() - done);
    });
}

bool SystemFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::error_code& error) {
    return twoband::writeAll(bytes, error, [&](std::size_t done) {
        return ::pwrite(descriptorOf(handle_), bytes.data() + done, bytes.size() - done,
                        static_cast<off_t>(offset + done));
    });
}

bool SystemFile::setMode(std::uint32_t mode, std::error_code& error) {
    if (::fchmod(descriptorOf(handle_), static_cast<mode_t>(mode)) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

namespace {

constexpr char kMarkAttribute[] = "user.twoband.mark";
// The most a mark may hold: a record of a few hundred bytes.
constexpr std::size_t kMostMarkBytes = 64 * 1024;

// A file system that keeps no extended attributes of the user's (FAT, some shares).
bool keepsNoMarks(int code) { return code == ENOTSUP || code == EOPNOTSUPP; }

}  // namespace

bool SystemFile::setMark(const NativeChar*, std::string_view mark, std::error_code& error) {
    if (::fsetxattr(descriptorOf(handle_), kMarkAttribute, mark.data(), mark.size(), 0) != 0) {
        error = keepsNoMarks(errno) ? std::make_error_code(std::errc::not_supported) : lastError();
        return false;
    }
    return true;
}

std::optional<std::string> SystemFile::mark(const std::string&, std::error_code& error) const {
    std::string mark(kMostMarkBytes, '\0');
    const ssize_t got = ::fgetxattr(descriptorOf(handle_), kMarkAttribute, mark.data(), mark.size());
    if (got < 0) {
        if (errno != ENODATA) error = keepsNoMarks(errno) ? std::make_error_code(std::errc::not_supported) : lastError();
        return std::nullopt;
    }
    mark.resize(static_cast<std::size_t>(got));
    return mark;
}

bool SystemFile::sync(std::error_code& error) {
    if (::fsync(descriptorOf(handle_)) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

bool SystemFile::close(std::error_code& error) {
    if (::close(descriptorOf(std::exchange(handle_, kClosed))) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

std::optional<NameStatus> statusOfName(const std::string& name, std::error_code& error) {
    struct stat status {};
    if (::lstat(name.c_str(), &status) != 0) {
        if (errno == ENOENT) return NameStatus{NameStatus::Kind::missing, 0};
        error = lastError();
        return std::nullopt;
    }
    const NameStatus::Kind kind = S_ISREG(status.st_mode)   ? NameStatus::Kind::regular
                                  : S_ISDIR(status.st_mode) ? NameStatus::Kind::directory
                                                            : NameStatus::Kind::other;
    return NameStatus{kind, static_cast<std::uint32_t>(status.st_mode & 07777)};
}

bool nameExists(const std::string& name) {
    struct stat status {};
    return ::lstat(name.c_str(), &status) == 0;
}

namespace {

bool makeFolder(const std::string& name, std::error_code& error) {
    if (::mkdir(name.c_str(), 0777) == 0 || errno == EEXIST) return true;
    error = lastError();
    return false;
}

}  // namespace

std::optional<FileIdentity> standardOutputIdentity() {
    struct stat status {};
    if (::fstat(STDOUT_FILENO, &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool renameOver(const NativeChar* from, const std::string& to, std::error_code& error) {
    if (::rename(from, to.c_str()) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

void removeName(const NativeChar* name) { ::unlink(name); }

std::string foldedName(const std::string& name) { return name; }

std::optional<std::vector<FolderEntry>> listFolder(const std::string& folder, std::error_code& error) {
    DIR* const listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        error = lastError();
        return std::nullopt;
    }
    std::vector<FolderEntry> entries;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat status {};
        FolderEntry::Kind kind = FolderEntry::Kind::other;
        if (::lstat(path.c_str(), &status) == 0) {
            if (S_ISDIR(status.st_mode)) {
                kind = FolderEntry::Kind::folder;  // a link to a folder is not followed
            } else if (S_ISREG(status.st_mode) || (S_ISLNK(status.st_mode) && ::stat(path.c_str(), &status) == 0 &&
                                                   S_ISREG(status.st_mode))) {
                kind = FolderEntry::Kind::file;
            }
        }
        entries.push_back({name, kind});
    }
    ::closedir(listing);
    return entries;
}

#endif

bool makeFolders(const std::string& name, std::error_code& error) {
    // Each folder on the way, from the first separator after the root on.
    for (std::size_t at = name.find_first_of("/\\", 1); at != std::string::npos; at = name.find_first_of("/\\", at + 1)) {
#ifndef _WIN32
        if (name[at] == '\\') continue;
#endif
        if (at > 0 && name[at - 1] != ':' && !makeFolder(name.substr(0, at), error)) return false;
    }
    return makeFolder(name, error);
}

std::optional<FileIdentity> identityOf(const std::string& name) {
    std::error_code ignored;
    const SystemFile file = SystemFile::openForReading(name, ignored);
    return file ? file.identity() : std::nullopt;
}

SystemFile::SystemFile(SystemFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

SystemFile& SystemFile::operator=(SystemFile&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
}

}  // namespace twoband
