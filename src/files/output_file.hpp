#pragma once

// The result of a run takes the place of its output name only once it is complete.
// It is written under a hidden temporary name in the same folder (".Csong.wav.x1Y2z3"
// beside "Csong.wav"), synced to the disk, and renamed over the output name. Until
// then whatever stands at the name (an older output, a link) is untouched; afterwards
// it is gone as a name: a link there is replaced, never followed, so its target is
// never written. Each run has its own temporary file, so of two runs writing one
// output the last to finish wins with a complete file.
//
// The temporary file is removed when the run fails, when an OutputFile is dropped
// unfinished, and when the run is stopped (temporary_files.hpp); after SIGKILL or a
// power loss at most the hidden temporary file is left. Its name is the output's with
// a dot in front and six random letters after, its file-name part cut (at a character)
// where the whole would pass the 255 bytes file systems allow.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "files/system_file.hpp"
#include "files/temporary_files.hpp"

namespace twoband {

class OutputFile {
public:
    // Prepares to replace `name`. Refuses a folder there, and an existing file that
    // could not be opened for writing; otherwise creates the temporary file, with the
    // permission bits `mode` (its input's) where given, else those of the regular file
    // at `name` if there is one.
    static std::optional<OutputFile> create(const std::string& name, std::optional<std::uint32_t> mode,
                                            std::error_code& error);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile();

    bool write(std::span<const std::uint8_t> bytes, std::error_code& error);
    // Writes over bytes already written, and reads them back.
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::error_code& error);
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into, std::error_code& error) const {
        return file_.readAt(offset, into, error);
    }
    // Marks the temporary file with `mark` (output_mark.hpp), syncs and closes it. On
    // a file system that keeps no marks the file is finished without one.
    bool finish(std::string_view mark, std::error_code& error);
    // Renames the finished file over the output name.
    bool replaceName(std::error_code& error);

private:
    OutputFile(std::string name, HeldName temporary, SystemFile file);
    void discard();

    std::string name_;
    std::optional<HeldName> temporary_;  // nothing once renamed, removed or moved from
    SystemFile file_;
};

// A scratch file for a second pass over a result: hidden beside the output name
// (its name made as a temporary file's), or in the system's temporary folder for
// standard output; removed when dropped and when the run is stopped.
class SpoolFile {
public:
    static std::optional<SpoolFile> create(const std::string& near, bool inTemporaryFolder, std::error_code& error);

    SpoolFile(SpoolFile&& other) noexcept
        : name_(std::exchange(other.name_, std::nullopt)), file_(std::move(other.file_)), size_(other.size_) {}
    SpoolFile& operator=(SpoolFile&&) = delete;
    ~SpoolFile();

    bool write(std::span<const std::uint8_t> bytes, std::error_code& error);
    std::uint64_t size() const { return size_; }
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into,
                                      std::error_code& error) const {
        return file_.readAt(offset, into, error);
    }

private:
    SpoolFile(HeldName name, SystemFile file) : name_(std::move(name)), file_(std::move(file)) {}
    std::optional<HeldName> name_;
    SystemFile file_;
    std::uint64_t size_ = 0;
};

}  // namespace twoband
