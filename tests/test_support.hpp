#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
Bytes readFile(const std::filesystem::path& path);

// Everything `body` prints to the stream it is given.
std::string captureOutput(const std::function<void(std::FILE*)>& body);

// A header of 44 arbitrary bytes followed by the given (left, right) frames.
Bytes framesFile(const std::vector<std::pair<std::int16_t, std::int16_t>>& frames);

// 64-bit FNV-1a of the bytes, for golden checks of long outputs.
std::uint64_t fnv1a(std::span<const std::uint8_t> bytes);

struct RunResult {
    std::string output;  // standard output
    std::string errors;  // standard error
    int status = -1;     // exit status, or -1 if the program did not exit normally
};

// True when the end-to-end tests run another build of twoband, named by the
// environment variable TWOBAND_TEST_COMMAND (for instance "wine .../twoband.exe").
bool testingOtherBuild();

// Runs the built twoband binary (or TWOBAND_TEST_COMMAND, whose CR LF line ends are
// read as LF) in `directory` with the given arguments (not counting
// the program name), feeding `input` on its standard input. With `unprivileged`, a
// root caller runs it as the user nobody, so file permissions apply to it.
RunResult runTwoband(const std::filesystem::path& directory, const std::vector<std::string>& args,
                     const std::string& input = "", bool unprivileged = false);

}  // namespace testing_support
