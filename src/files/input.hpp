#pragma once

// Where a run reads its bytes: a file, measured and read where asked, or standard
// input, read once from front to back. A stream's first bytes are held, so that its
// layout can be found, and it refused, before any byte of the output is written.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "files/system_file.hpp"

namespace twoband {

class Input {
public:
    virtual ~Input() = default;

    // The length of a file; nothing for a stream, whose length is known only once it
    // has ended.
    virtual std::optional<std::uint64_t> length() const = 0;

    // Reads into all of `into` from `offset` on; fewer bytes only where the input
    // ends. A stream is read in order: `offset` lies in its held first bytes, or
    // continues where the last read ended.
    virtual std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                              std::error_code& error) = 0;
};

// An open file and its length, measured on the open file.
class InputFile final : public Input {
public:
    InputFile(SystemFile file, std::uint64_t length, std::uint32_t mode)
        : file_(std::move(file)), length_(length), mode_(mode) {}

    // The regular file at `name` (through links), opened and measured; nothing for
    // anything else, with why in `reason`.
    static std::optional<InputFile> open(const std::string& name, std::string& reason);

    std::optional<std::uint64_t> length() const override { return length_; }
    std::uint64_t size() const { return length_; }
    // Its permission bits (POSIX).
    std::uint32_t mode() const { return mode_; }
    std::optional<FileIdentity> identity() const { return file_.identity(); }
    // Its mark (system_file.hpp), `name` being its name.
    std::optional<std::string> mark(const std::string& name, std::error_code& error) const {
        return file_.mark(name, error);
    }

    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                      std::error_code& error) override {
        return file_.readAt(offset, into, error);
    }

private:
    SystemFile file_;
    std::uint64_t length_;
    std::uint32_t mode_;
};

// Standard input (or any stream), read once.
class StreamInput final : public Input {
public:
    explicit StreamInput(SystemFile stream) : stream_(std::move(stream)) {}

    // Holds the first `bytes` bytes, or every byte when the stream ends before; false
    // when a read fails.
    bool hold(std::size_t bytes, std::error_code& error);
    std::span<const std::uint8_t> held() const { return held_; }
    // Whether the stream has ended: then every byte of it is held.
    bool ended() const { return ended_; }

    std::optional<std::uint64_t> length() const override;
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                      std::error_code& error) override;

private:
    SystemFile stream_;
    std::vector<std::uint8_t> held_;
    std::uint64_t read_ = 0;  // bytes taken from the stream so far
    bool ended_ = false;
};

}  // namespace twoband
