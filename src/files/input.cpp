#include "files/input.hpp"

#include <algorithm>
#include <cstring>

namespace twoband {

std::optional<InputFile> InputFile::open(const std::string& name, std::string& reason) {
    std::error_code error;
    SystemFile file = SystemFile::openForReading(name, error);
    const std::optional<SystemFile::Status> status = file ? file.status(error) : std::nullopt;
    if (!status || !status->regular) {
        reason = !status             ? error.message()
                 : status->directory ? std::make_error_code(std::errc::is_a_directory).message()
                                     : "not a regular file";
        return std::nullopt;
    }
    return InputFile(std::move(file), status->size, status->mode);
}

bool StreamInput::hold(std::size_t bytes, std::error_code& error) {
    if (ended_ || held_.size() >= bytes) {
        return true;
    }
    const std::size_t before = held_.size();
    held_.resize(bytes);
    const std::optional<std::size_t> got =
        stream_.read(std::span(held_).subspan(before), error);
    if (!got) {
        held_.resize(before);
        return false;
    }
    held_.resize(before + *got);
    read_ = held_.size();
    ended_ = held_.size() < bytes;
    return true;
}

std::optional<std::uint64_t> StreamInput::length() const {
    return ended_ ? std::optional<std::uint64_t>(held_.size()) : std::nullopt;
}

std::optional<std::size_t> StreamInput::readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                               std::error_code& error) {
    std::size_t done = 0;
    if (offset < held_.size()) {
        done = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), held_.size() - offset));
        std::memcpy(into.data(), held_.data() + offset, done);
    } else if (offset != read_) {
        error = std::make_error_code(std::errc::invalid_seek);  // a stream goes one way
        return std::nullopt;
    } else if (!held_.empty()) {
        held_ = {};  // read past: its memory goes back
    }
    if (done == into.size() || ended_) {
        return done;
    }
    const std::optional<std::size_t> got = stream_.read(into.subspan(done), error);
    if (!got) {
        return std::nullopt;
    }
    read_ += *got;
    ended_ = done + *got < into.size();
    return done + *got;
}

}  // namespace twoband
