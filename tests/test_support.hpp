#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "console/console.hpp"
#include "engine/engine_pass.hpp"
#include "engine/fast_path.hpp"

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

// A console that keeps what is written to it.
struct CapturedConsole final : twoband::Console {
    std::string output;
    std::string errors;
    void out(std::string_view text) override { output.append(text); }
    void error(std::string_view text) override { errors.append(text); }
};

// Compresses a whole file held in memory as one block of a fresh engine pass, with
// the samples where a plain file has them unless `samples` says otherwise. Returns
// the progress output.
std::string compressInMemory(Bytes& bytes, const twoband::Settings& settings = {},
                             twoband::FrameKernel kernel = twoband::bestFrameKernel(),
                             std::optional<twoband::SampleRange> samples = std::nullopt);

// A header of 44 arbitrary bytes followed by the given (left, right) frames.
Bytes framesFile(const std::vector<std::pair<std::int16_t, std::int16_t>>& frames);

// The WAV containers a WavBuilder writes.
enum class WavForm { riff, rf64, bw64, wave64 };

// A WAV file built chunk by chunk: the container's header, then the chunks.
// - RIFF: "RIFF", a size, "WAVE".
// - RF64, BW64: "RF64"/"BW64", 0xFFFFFFFF, "WAVE", and a ds64 chunk holding the RIFF
//   size, the data size and the sample count; a data chunk's own size says 0xFFFFFFFF.
// - Wave64: its GUIDs, 64-bit sizes that count the 24-byte chunk header, chunks
//   aligned to 8 bytes; a chunk's GUID is its four letters and Wave64's common tail.
class WavBuilder {
public:
    explicit WavBuilder(WavForm form = WavForm::riff);
    // Appends a chunk with its payload and its padding. The size field says
    // `declaredSize` when given.
    WavBuilder& chunk(const char* id, std::span<const std::uint8_t> payload,
                      std::optional<std::uint64_t> declaredSize = std::nullopt);
    // A format chunk: 16 bytes, or 40 for WAVE_FORMAT_EXTENSIBLE (tag 0xFFFE) with the
    // sub-format whose first two bytes are `subFormat` (1 for PCM, 3 for float).
    WavBuilder& format(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits,
                       std::uint16_t subFormat = 1);
    // The offset the next chunk's payload will start at.
    std::size_t nextPayload() const { return bytes_.size() + (form_ == WavForm::wave64 ? 24 : 8); }
    Bytes bytes() const;  // with the container's sizes filled in

private:
    WavForm form_;
    Bytes bytes_;
    std::uint64_t dataSize_ = 0;  // the last data chunk's payload
};

// 64-bit FNV-1a of the bytes, for golden checks of long outputs.
std::uint64_t fnv1a(std::span<const std::uint8_t> bytes);

struct RunResult {
    std::string output;  // standard output (CR LF read as LF from another build)
    Bytes outputBytes;   // standard output as it came
    std::string errors;  // standard error
    int status = -1;     // exit status, or -1 if the program did not exit normally
};

// True when the end-to-end tests run another build of twoband, named by the
// environment variable TWOBAND_TEST_COMMAND (for instance "wine .../twoband.exe" or
// "qemu-aarch64 .../twoband"); the second when that build is the Windows one.
bool testingOtherBuild();
bool testingWindowsBuild();

// How long one run of the program may take before it counts as hung: a few seconds,
// more for another build, which starts under Wine or an emulator.
std::chrono::milliseconds usualLongestRun();

struct RunOptions {
    std::string input;  // fed on standard input
    // A root caller runs the binary as the user nobody, from a copy nobody can reach,
    // so that file permissions apply to it.
    bool unprivileged = false;
    // Writes past this many bytes of a file fail (EFBIG); 0 for no limit.
    std::uint64_t fileSizeLimit = 0;
    std::vector<int> ignoredSignals = {};         // ignored from the start, as nohup does
    std::vector<std::string> environment = {};    // NAME=VALUE, added
    // A program that starts twoband: these words come before twoband's own command
    // ({"find", ".", "-exec"}), the arguments after it.
    std::vector<std::string> launcher = {};
    // Where standard output and standard error go instead of files the test reads
    // ("/dev/full"; "-" closes the stream); empty for the usual.
    std::string outputTo = {};
    std::string errorsTo = {};
    // A run still going after this long is killed, and the test fails there.
    std::chrono::milliseconds longestRun = usualLongestRun();
    // Standard input and output are pipes, fed with `input` and drained as the run
    // goes; or standard output, or input, is a terminal (a pseudo-terminal) instead.
    bool pipes = false;
    bool terminalOutput = false;
    bool terminalInput = false;
};

// Runs the built twoband binary (or TWOBAND_TEST_COMMAND, whose CR LF line ends are
// read as LF) in `directory` with the given arguments (not counting the program name).
// A run that outlasts its longestRun is killed and fails the test, naming the run.
RunResult runTwoband(const std::filesystem::path& directory, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// A run of the built binary in the background, for tests that stop it part-way. Its
// standard output goes to a pipe, which closeOutput closes as a reader that quits does;
// nothing reads it, so what the run prints must fit the pipe (64 KiB).
class BackgroundRun {
public:
    BackgroundRun(const std::filesystem::path& directory, const std::vector<std::string>& args,
                  const RunOptions& options = {});
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;
    void signal(int number) const;
    void closeOutput();
    // Waits for the end, as long as the options' longestRun from the start; the status
    // is -1 - the signal number when a signal ended it. Standard output is not kept.
    RunResult finish();

private:
    TempDir io_;
    std::string what_;  // the run, for a failure
    std::chrono::steady_clock::time_point deadline_;
    int pid_ = -1;
    int output_ = -1;  // the reading end of standard output's pipe
};

}  // namespace testing_support
