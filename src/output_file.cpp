#include "output_file.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>

#include "sample_file.hpp"

namespace twoband {

namespace fs = std::filesystem;

namespace {

// The temporary file SIGINT or SIGTERM must remove. A signal handler can reach only
// static storage, so this one slot is the program's single piece of global state;
// a run has at most one temporary file.
constexpr std::size_t kTemporaryNameCapacity = 4 * kPathBufferSize;
char pendingTemporary[kTemporaryNameCapacity];
volatile std::sig_atomic_t temporaryPending = 0;

extern "C" void removeTemporaryAndStop(int signal) {
    if (temporaryPending != 0) {
        removeName(pendingTemporary);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // end with the signal's usual status
}

void holdForSignals(const std::string& temporary) {
    temporaryPending = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(pendingTemporary, temporary.c_str(), temporary.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    temporaryPending = 1;
    // A signal the run was started to ignore (nohup, a background job) stays ignored.
    for (const int signal : {SIGINT, SIGTERM}) {
        if (std::signal(signal, removeTemporaryAndStop) == SIG_IGN) {
            std::signal(signal, SIG_IGN);
        }
    }
}

void releaseFromSignals() { temporaryPending = 0; }

// Six letters or digits, different for every attempt and every process.
std::string randomSuffix(std::mt19937& random) {
    static constexpr char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(6, ' ');
    for (char& c : suffix) {
        c = kAlphabet[random() % (sizeof kAlphabet - 1)];
    }
    return suffix;
}

// Refuses a folder at `name`, and a regular file that could not be opened for
// writing (as the old way of overwriting it in place would have). Returns the
// permission bits of a regular file there.
std::optional<fs::perms> existingOutput(const std::string& name, std::error_code& error) {
    const fs::file_status status = fs::symlink_status(name, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory) error.clear();
        return std::nullopt;
    }
    if (fs::is_directory(status)) {
        error = std::make_error_code(std::errc::is_a_directory);
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        return std::nullopt;  // a link or a special file is replaced as a name
    }
    if (!SystemFile::openForWriting(name.c_str(), error)) {
        return std::nullopt;
    }
    return status.permissions();
}

}  // namespace

OutputFile::OutputFile(std::string name, std::string temporary, SystemFile file)
    : name_(std::move(name)), temporary_(std::move(temporary)), file_(std::move(file)) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)),
      temporary_(std::exchange(other.temporary_, {})),
      file_(std::move(other.file_)) {}

OutputFile::~OutputFile() { discard(); }

std::optional<OutputFile> OutputFile::create(const std::string& name, std::error_code& error) {
    const std::optional<fs::perms> permissions = existingOutput(name, error);
    if (error) {
        return std::nullopt;
    }
    const fs::path path{name};
    const std::string hidden = std::string(".").append(path.filename().string()).append(".");
    std::mt19937 random(std::random_device{}() ^
                        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string temporary = (path.parent_path() / (hidden + randomSuffix(random))).string();
        if (temporary.size() >= kTemporaryNameCapacity) {
            error = std::make_error_code(std::errc::filename_too_long);
            return std::nullopt;
        }
        error.clear();
        SystemFile file = SystemFile::createNew(temporary.c_str(), error);
        if (!file && error == std::errc::file_exists) {
            continue;  // another run's temporary file
        }
        if (!file) {
            return std::nullopt;
        }
        holdForSignals(temporary);
        OutputFile output{name, temporary, std::move(file)};
        if (permissions) {
            fs::permissions(temporary, *permissions, fs::perm_options::replace, error);
            if (error) return std::nullopt;
        }
        return output;
    }
    return std::nullopt;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes, std::error_code& error) {
    return file_.writeAll(bytes, error);
}

bool OutputFile::finish(std::error_code& error) {
    return file_.sync(error) && file_.close(error);
}

bool OutputFile::replaceName(std::error_code& error) {
    fs::rename(temporary_, name_, error);
    if (error) {
        return false;
    }
    temporary_.clear();
    releaseFromSignals();
    return true;
}

void OutputFile::discard() {
    if (temporary_.empty()) {
        return;
    }
    std::error_code ignored;
    if (file_) file_.close(ignored);  // Windows removes no open file
    removeName(temporary_.c_str());
    temporary_.clear();
    releaseFromSignals();
}

}  // namespace twoband
