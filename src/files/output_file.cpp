#include "files/output_file.hpp"

#include <chrono>
#include <random>
#include <utility>

namespace twoband {

namespace {

// A name part longer than this gives a temporary name past what file systems allow.
constexpr std::size_t kMostNameBytes = 255;
constexpr std::size_t kSuffixLetters = 6;
constexpr std::size_t kMostLeafBytes = kMostNameBytes - kSuffixLetters - 2;  // the two dots

// Where the file-name part of a name starts: after its last separator.
std::size_t leafStart(const std::string& name) {
#ifdef _WIN32
    const std::size_t separator = name.find_last_of("/\\");
#else
    const std::size_t separator = name.find_last_of('/');
#endif
    return separator == std::string::npos ? 0 : separator + 1;
}

// `name` beside itself, hidden: its folder, a dot, its file-name part (cut at a
// character where it is long), a dot.
std::string hiddenPrefix(const std::string& name) {
    const std::size_t start = leafStart(name);
    std::size_t leaf = std::min(name.size() - start, kMostLeafBytes);
    while (leaf > 0 && start + leaf < name.size() && (static_cast<unsigned char>(name[start + leaf]) & 0xC0) == 0x80) {
        --leaf;  // not inside a UTF-8 character
    }
    return name.substr(0, start) + "." + name.substr(start, leaf) + ".";
}

// Six letters or digits, different for every attempt and every process.
std::string randomSuffix(std::mt19937& random) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(kSuffixLetters, ' ');
    for (char& c : suffix) {
        c = kAlphabet[random() % (sizeof kAlphabet - 1)];
    }
    return suffix;
}

// Refuses a folder at `name`, and a regular file that could not be opened for
// writing (as the old way of overwriting it in place would have). Returns the
// permission bits of a regular file there.
std::optional<std::uint32_t> existingOutput(const std::string& name, std::error_code& error) {
    const std::optional<NameStatus> status = statusOfName(name, error);
    if (!status) {
        return std::nullopt;
    }
    switch (status->kind) {
        case NameStatus::Kind::directory:
            error = std::make_error_code(std::errc::is_a_directory);
            return std::nullopt;
        case NameStatus::Kind::regular:
            if (!SystemFile::openForWriting(name, error)) return std::nullopt;
            return status->mode;
        case NameStatus::Kind::missing:
        case NameStatus::Kind::other:  // a link or a special file is replaced as a name
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

OutputFile::OutputFile(std::string name, HeldName temporary, SystemFile file)
    : name_(std::move(name)), temporary_(std::move(temporary)), file_(std::move(file)) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)),
      temporary_(std::exchange(other.temporary_, std::nullopt)),
      file_(std::move(other.file_)) {}

OutputFile::~OutputFile() { discard(); }

std::optional<OutputFile> OutputFile::create(const std::string& name, std::optional<std::uint32_t> mode,
                                             std::error_code& error) {
    const std::optional<std::uint32_t> existingMode = existingOutput(name, error);
    if (!mode) mode = existingMode;
    if (error) {
        return std::nullopt;
    }
    const std::string prefix = hiddenPrefix(name);
    std::mt19937 random(std::random_device{}() ^
                        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::optional<HeldName> temporary = HeldName::hold(nativeName(prefix + randomSuffix(random)));
        if (!temporary) {
            error = std::make_error_code(std::errc::operation_canceled);  // the run is stopping
            return std::nullopt;
        }
        error.clear();
        SystemFile file = SystemFile::createNew(temporary->name(), error);
        temporary->created();
        if (!file && error == std::errc::file_exists) {
            continue;  // another run's temporary file
        }
        if (!file) {
            return std::nullopt;
        }
        OutputFile output{name, std::move(*temporary), std::move(file)};
        if (mode && !output.file_.setMode(*mode, error)) {
            return std::nullopt;
        }
        return output;
    }
    return std::nullopt;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes, std::error_code& error) {
    return file_.writeAll(bytes, error);
}

bool OutputFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::error_code& error) {
    return file_.writeAt(offset, bytes, error);
}

bool OutputFile::finish(std::string_view mark, std::error_code& error) {
    if (!file_.setMark(temporary_->name(), mark, error)) {
        if (error != std::errc::not_supported) return false;
        error.clear();
    }
    return file_.sync(error) && file_.close(error);
}

bool OutputFile::replaceName(std::error_code& error) {
    if (!renameOver(temporary_->name(), name_, error)) {
        return false;
    }
    temporary_.reset();
    return true;
}

std::optional<SpoolFile> SpoolFile::create(const std::string& near, bool inTemporaryFolder, std::error_code& error) {
    const std::string folder = temporaryFolder();
    const std::string prefix =
        inTemporaryFolder ? hiddenPrefix(folder + (folder.ends_with('/') || folder.ends_with('\\') ? "" : "/") + "twoband")
                          : hiddenPrefix(near);
    std::mt19937 random(std::random_device{}() ^
                        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::optional<HeldName> name = HeldName::hold(nativeName(prefix + "spool." + randomSuffix(random)));
        if (!name) {
            error = std::make_error_code(std::errc::operation_canceled);  // the run is stopping
            return std::nullopt;
        }
        error.clear();
        SystemFile file = SystemFile::createScratch(name->name(), error);
        name->created();
        if (!file && error == std::errc::file_exists) continue;
        if (!file) return std::nullopt;
        return SpoolFile{std::move(*name), std::move(file)};
    }
    return std::nullopt;
}

SpoolFile::~SpoolFile() {
    if (!name_) return;
    std::error_code ignored;
    if (file_) file_.close(ignored);  // Windows removes no open file
    removeName(name_->name());
}

bool SpoolFile::write(std::span<const std::uint8_t> bytes, std::error_code& error) {
    size_ += bytes.size();
    return file_.writeAll(bytes, error);
}

void OutputFile::discard() {
    if (!temporary_) {
        return;
    }
    std::error_code ignored;
    if (file_) file_.close(ignored);  // Windows removes no open file
    removeName(temporary_->name());
    temporary_.reset();
}

}  // namespace twoband
