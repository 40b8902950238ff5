#pragma once

// The few file calls the front end makes: the one place that knows their POSIX and
// their Windows names. A name is text of any length: UTF-8 on Windows, opened through
// the wide (UTF-16) calls, long paths included; elsewhere the bytes it is. Every
// failure comes back as a std::error_code whose message is the system's own reason.

#include <cstddef>
#include <cstdint>
#include <compare>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace twoband {

// A name as the system's calls take it: UTF-16 on Windows, the bytes elsewhere.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeName = std::basic_string<NativeChar>;

// `name` for the system's calls. On Windows a long one takes the \\?\ form of its
// full path, which passes the 260-character limit.
NativeName nativeName(const std::string& name);

#ifdef _WIN32
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const wchar_t* text, std::size_t length);
// The reason Windows gives for one of its error codes.
std::error_code windowsError(unsigned long code);
#endif

// Which file an open file is: its device (volume) and its number there.
struct FileIdentity {
    std::uint64_t device;
    std::uint64_t file;
    auto operator<=>(const FileIdentity&) const = default;
};

class SystemFile {
public:
    SystemFile() = default;
    ~SystemFile();
    SystemFile(SystemFile&& other) noexcept;
    SystemFile& operator=(SystemFile&& other) noexcept;
    SystemFile(const SystemFile&) = delete;
    SystemFile& operator=(const SystemFile&) = delete;

    // Opens an existing file for reading; a FIFO does not block the open.
    static SystemFile openForReading(const std::string& name, std::error_code& error);
    // Opens an existing regular file for writing, without changing it.
    static SystemFile openForWriting(const std::string& name, std::error_code& error);
    // Creates a new file for writing (and reading back), with the mode a plain create gives (0666 less
    // the umask); fails with std::errc::file_exists if anything, even a dangling link,
    // stands at the name. It can be removed by name while it is open.
    static SystemFile createNew(const NativeChar* name, std::error_code& error);
    // The same, for reading too: a scratch file that is read back.
    static SystemFile createScratch(const NativeChar* name, std::error_code& error);
    // Standard input or output, as a file of its own (the stream stays open when it
    // closes), carrying bytes as they are: no line ends translated on Windows.
    static SystemFile standardInput(std::error_code& error);
    static SystemFile standardOutput(std::error_code& error);

    explicit operator bool() const { return handle_ != kClosed; }

    struct Status {
        bool regular;
        bool directory;
        std::uint64_t size;
        std::uint32_t mode;  // the permission bits (POSIX; 0 on Windows)
    };
    std::optional<Status> status(std::error_code& error) const;
    std::optional<FileIdentity> identity() const;

    // Reads into all of `into` from `offset` on; fewer bytes only where the file ends.
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                      std::error_code& error) const;
    // Reads into all of `into` from where the last read ended, as a stream is read;
    // fewer bytes only where the stream ends.
    std::optional<std::size_t> read(std::span<std::uint8_t> into, std::error_code& error);
    // Writes all of `bytes`; a reader that went away gives std::errc::broken_pipe.
    bool writeAll(std::span<const std::uint8_t> bytes, std::error_code& error);
    // Writes all of `bytes` at `offset`, over what is there.
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::error_code& error);
    // Whether the file is a terminal (a console on Windows).
    bool isTerminal() const;
    // Sets the permission bits (POSIX; Windows has none to set).
    bool setMode(std::uint32_t mode, std::error_code& error);
    // The file's mark: a few bytes kept with it apart from its contents, which go with
    // it when it is renamed: the extended attribute user.twoband.mark on POSIX, the
    // alternate data stream NAME:twoband.mark on NTFS (`name` is the file's). Fails
    // with std::errc::not_supported where the file system keeps none.
    bool setMark(const NativeChar* name, std::string_view mark, std::error_code& error);
    // The mark of the file at `name`, opened here; nothing, and no error, where it has
    // none.
    std::optional<std::string> mark(const std::string& name, std::error_code& error) const;
    // Waits until the written bytes are on the disk.
    bool sync(std::error_code& error);
    bool close(std::error_code& error);

private:
    static constexpr std::intptr_t kClosed = -1;
    explicit SystemFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = kClosed;  // a file descriptor, or a Windows HANDLE
};

// What stands at a name, not following a link there.
struct NameStatus {
    enum class Kind { missing, regular, directory, other };
    Kind kind;
    std::uint32_t mode;  // the permission bits of a regular file (POSIX)
};
std::optional<NameStatus> statusOfName(const std::string& name, std::error_code& error);

// Makes the folder `name` and the folders it lies in, as far as they are missing.
bool makeFolders(const std::string& name, std::error_code& error);

// True when something stands at `name` (a link, even a dangling one, counts).
bool nameExists(const std::string& name);

// What a folder holds, by name: a regular file (or a link to one), a folder (not a
// link to one), or something else. Nothing, with the reason, when it cannot be read.
struct FolderEntry {
    enum class Kind { file, folder, other };
    std::string name;
    Kind kind;
};
std::optional<std::vector<FolderEntry>> listFolder(const std::string& folder, std::error_code& error);

#ifdef _WIN32
// The names a Windows wildcard pattern (* and ? in its last part) matches, in name
// order and with the pattern's folder in front; none when nothing matches.
std::vector<std::string> expandWildcards(const std::string& pattern);
#endif

// A name as the file system compares names: the same text on POSIX, in capitals on
// Windows, whose names ignore case.
std::string foldedName(const std::string& name);

// Which file a name leads to (through links), where it can be opened: the same for
// every name of one file.
std::optional<FileIdentity> identityOf(const std::string& name);

// Which file standard output is, where it is one.
std::optional<FileIdentity> standardOutputIdentity();

// Gives the file at `from` the name `to`, replacing whatever stands there as a name.
bool renameOver(const NativeChar* from, const std::string& to, std::error_code& error);

// The system's folder for temporary files (TMPDIR, or /tmp; Windows' own).
std::string temporaryFolder();

// Removes a name; safe to call from a signal handler.
void removeName(const NativeChar* name);

}  // namespace twoband
