#pragma once

// The few file calls the front end makes, over a plain file descriptor: the one place
// that knows their POSIX and their Windows names. Every failure comes back as a
// std::error_code holding the system's errno, so its message is the system's reason.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <system_error>

namespace twoband {

class SystemFile {
public:
    SystemFile() = default;
    ~SystemFile();
    SystemFile(SystemFile&& other) noexcept;
    SystemFile& operator=(SystemFile&& other) noexcept;
    SystemFile(const SystemFile&) = delete;
    SystemFile& operator=(const SystemFile&) = delete;

    // Opens an existing file for reading; a FIFO does not block the open.
    static SystemFile openForReading(const char* name, std::error_code& error);
    // Opens an existing regular file for writing, without changing it.
    static SystemFile openForWriting(const char* name, std::error_code& error);
    // Creates a new file for writing, with the mode a plain create gives (0666 less
    // the umask); fails if anything, even a dangling link, stands at the name.
    static SystemFile createNew(const char* name, std::error_code& error);

    explicit operator bool() const { return descriptor_ >= 0; }

    struct Status {
        bool regular;
        bool directory;
        std::uint64_t size;
    };
    std::optional<Status> status(std::error_code& error) const;

    // Reads into all of `into` from `offset` on; fewer bytes only where the file ends.
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                      std::error_code& error) const;
    bool writeAll(std::span<const std::uint8_t> bytes, std::error_code& error);
    // Waits until the written bytes are on the disk.
    bool sync(std::error_code& error);
    bool close(std::error_code& error);

private:
    explicit SystemFile(int descriptor) : descriptor_(descriptor) {}
    int descriptor_ = -1;
};

// Removes a name; safe to call from a signal handler.
void removeName(const char* name);

}  // namespace twoband
