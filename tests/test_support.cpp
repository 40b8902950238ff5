#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace testing_support {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "twoband-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    // Tests may leave read-only folders behind; make them writable before removal.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(path_, error);
}

void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string compressInMemory(Bytes& bytes, const twoband::Settings& settings,
                             twoband::FrameKernel kernel,
                             std::optional<twoband::SampleRange> samples) {
    CapturedConsole progress;
    twoband::EnginePass pass(settings, samples.value_or(twoband::canonicalSamples(bytes.size())),
                             twoband::kStereoChannels, progress, kernel);
    pass.process(bytes, 0);
    pass.finish();
    return progress.output;
}

Bytes framesFile(const std::vector<std::pair<std::int16_t, std::int16_t>>& frames) {
    Bytes bytes(44);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    }
    for (const auto& [left, right] : frames) {
        for (const std::int16_t sample : {left, right}) {
            const auto bits = static_cast<std::uint16_t>(sample);
            bytes.push_back(static_cast<std::uint8_t>(bits & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
        }
    }
    return bytes;
}

namespace {

void putLittle(Bytes& bytes, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void setLittle(Bytes& bytes, std::size_t at, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putId(Bytes& bytes, const char* id) { bytes.insert(bytes.end(), id, id + 4); }

constexpr std::uint8_t kWave64Riff[16] = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                          0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr std::uint8_t kWave64Tail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                          0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr std::size_t kDs64Bytes = 28;  // RIFF size, data size, sample count, table length

}  // namespace

WavBuilder::WavBuilder(WavForm form) : form_(form) {
    bytes_.reserve(64);
    switch (form) {
        case WavForm::riff:
        case WavForm::rf64:
        case WavForm::bw64:
            putId(bytes_, form == WavForm::riff ? "RIFF" : form == WavForm::rf64 ? "RF64" : "BW64");
            putLittle(bytes_, form == WavForm::riff ? 0 : 0xFFFFFFFF, 4);
            putId(bytes_, "WAVE");
            if (form != WavForm::riff) chunk("ds64", Bytes(kDs64Bytes, 0));
            break;
        case WavForm::wave64:
            bytes_.assign(std::begin(kWave64Riff), std::end(kWave64Riff));
            putLittle(bytes_, 0, 8);
            putId(bytes_, "wave");
            bytes_.insert(bytes_.end(), std::begin(kWave64Tail), std::end(kWave64Tail));
            break;
    }
}

WavBuilder& WavBuilder::chunk(const char* id, std::span<const std::uint8_t> payload,
                              std::optional<std::uint64_t> declaredSize) {
    const bool data = std::string_view(id) == "data";
    if (data) dataSize_ = payload.size();
    putId(bytes_, id);
    if (form_ == WavForm::wave64) {
        bytes_.insert(bytes_.end(), std::begin(kWave64Tail), std::end(kWave64Tail));
        putLittle(bytes_, declaredSize.value_or(payload.size() + 24), 8);
    } else {
        const std::uint64_t size = form_ != WavForm::riff && data ? 0xFFFFFFFF : payload.size();
        putLittle(bytes_, declaredSize.value_or(size), 4);
    }
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    while (bytes_.size() % (form_ == WavForm::wave64 ? 8 : 2) != 0) bytes_.push_back(0);
    return *this;
}

WavBuilder& WavBuilder::format(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits,
                               std::uint16_t subFormat) {
    Bytes fields;
    putLittle(fields, tag, 2);
    putLittle(fields, channels, 2);
    putLittle(fields, 44100, 4);
    putLittle(fields, 44100u * channels * bits / 8, 4);
    putLittle(fields, static_cast<std::uint32_t>(channels * bits / 8), 2);
    putLittle(fields, bits, 2);
    if (tag == 0xFFFE) {
        putLittle(fields, 22, 2);    // extension size
        putLittle(fields, bits, 2);  // valid bits
        putLittle(fields, 3, 4);     // front left and right
        putLittle(fields, subFormat, 2);
        for (const std::uint8_t byte : {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA,
                                        0x00, 0x38, 0x9B, 0x71}) {
            fields.push_back(byte);
        }
    }
    return chunk("fmt ", fields);
}

Bytes WavBuilder::bytes() const {
    Bytes bytes = bytes_;
    switch (form_) {
        case WavForm::riff:
            setLittle(bytes, 4, bytes.size() - 8, 4);
            break;
        case WavForm::rf64:
        case WavForm::bw64:
            setLittle(bytes, 20, bytes.size() - 8, 8);
            setLittle(bytes, 28, dataSize_, 8);
            setLittle(bytes, 36, dataSize_ / 4, 8);
            break;
        case WavForm::wave64:
            setLittle(bytes, 16, bytes.size(), 8);
            break;
    }
    return bytes;
}

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const std::uint8_t byte : bytes) {
        hash = (hash ^ byte) * 0x100000001b3ull;
    }
    return hash;
}

bool testingOtherBuild() {
    const char* other = std::getenv("TWOBAND_TEST_COMMAND");
    return other != nullptr && *other != '\0';
}

bool testingWindowsBuild() {
    return testingOtherBuild() && std::string_view(std::getenv("TWOBAND_TEST_COMMAND")).starts_with("wine ");
}

std::chrono::milliseconds usualLongestRun() {
    // Runs here take well under a second; Wine's start and emulation take more.
    return testingOtherBuild() ? std::chrono::seconds(60) : std::chrono::seconds(10);
}

namespace {

// The command that starts twoband, split at spaces.
std::vector<std::string> twobandCommand() {
    if (!testingOtherBuild()) {
        return {TWOBAND_BINARY};
    }
    std::vector<std::string> words;
    std::istringstream text(std::getenv("TWOBAND_TEST_COMMAND"));
    for (std::string word; text >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string withUnixLineEnds(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Starts the binary in `directory` with standard streams redirected to files of `io`
// (standard output to `output` instead, when it is a pipe's writing end); returns the
// child's process id.
pid_t startTwoband(const std::filesystem::path& directory, const std::vector<std::string>& args,
                   const TempDir& io, const RunOptions& options, int output = -1, int input = -1) {
    const std::filesystem::path stdinPath = io / "stdin";
    writeFile(stdinPath, {reinterpret_cast<const std::uint8_t*>(options.input.data()),
                          options.input.size()});
    std::vector<std::string> words = twobandCommand();
    constexpr uid_t kNobody = 65534;
    const bool dropRoot = options.unprivileged && geteuid() == 0;
    if (dropRoot) {
        // The build may live where nobody cannot go (a private clone); a copy in a
        // folder anyone can read can run.
        const std::filesystem::path reachable = io / "bin";
        std::filesystem::create_directory(reachable);
        using std::filesystem::perms;
        std::filesystem::permissions(io.path(), perms::owner_all | perms::group_read | perms::group_exec |
                                                    perms::others_read | perms::others_exec);
        std::filesystem::copy_file(words[0], reachable / "twoband");
        words[0] = (reachable / "twoband").string();
    }
    words.insert(words.begin(), options.launcher.begin(), options.launcher.end());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const std::string outPath = options.outputTo.empty() ? (io / "stdout").string() : options.outputTo;
    const std::string errPath = options.errorsTo.empty() ? (io / "stderr").string() : options.errorsTo;
    const pid_t child = fork();
    if (child == 0) {
        // A stream to "-" is opened on /dev/null like the others, then closed.
        const auto openStream = [](const std::string& path) {
            return open(path == "-" ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        };
        const int in = input >= 0 ? input : open(stdinPath.c_str(), O_RDONLY);
        const int out = output >= 0 ? output : openStream(outPath);
        const int err = openStream(errPath);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        if (outPath == "-") close(1);
        if (errPath == "-") close(2);
        if (dropRoot && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(127);
        }
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            std::signal(signal, SIG_DFL);  // as from a shell, even under a harness that ignores them
        }
        for (const int signal : options.ignoredSignals) std::signal(signal, SIG_IGN);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT dumps no core
        for (const std::string& variable : options.environment) putenv(const_cast<char*>(variable.c_str()));
        if (options.fileSizeLimit != 0) {
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// "twoband a.wav b.wav", for a failure.
std::string describeRun(const std::vector<std::string>& args) {
    std::string what = "twoband";
    for (const std::string& arg : args) what += " " + arg;
    return what;
}

// Waits for the child to end until `deadline`; kills it there and fails the test.
RunResult collect(pid_t child, const TempDir& io, std::chrono::steady_clock::time_point deadline,
                  const std::string& what) {
    int waitStatus = 0;
    bool killed = false;
    while (waitpid(child, &waitStatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &waitStatus, 0);
            ADD_FAILURE() << what << ": still running at its time limit, killed";
            killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A hung run may have printed without end: its start is enough to see why.
    const auto stream = [&](const char* name) {
        Bytes bytes = std::filesystem::exists(io / name) ? readFile(io / name) : Bytes{};
        constexpr std::size_t kKeptOfAHang = 4096;
        if (killed && bytes.size() > kKeptOfAHang) bytes.resize(kKeptOfAHang);
        return bytes;
    };
    RunResult result;
    result.outputBytes = stream("stdout");
    result.output.assign(result.outputBytes.begin(), result.outputBytes.end());
    const Bytes errors = stream("stderr");
    result.errors.assign(errors.begin(), errors.end());
    if (testingOtherBuild()) {
        result.output = withUnixLineEnds(result.output);
        result.errors = withUnixLineEnds(result.errors);
    }
    result.status = WIFEXITED(waitStatus)     ? WEXITSTATUS(waitStatus)
                    : WIFSIGNALED(waitStatus) ? -1 - WTERMSIG(waitStatus)
                                              : -1;
    return result;
}

// Standard input and output as pipes, fed and drained by threads of their own while
// the run goes; or either as a pseudo-terminal (fed nothing).
RunResult runThroughPipes(const std::filesystem::path& directory, const std::vector<std::string>& args,
                          const TempDir& io, const RunOptions& options,
                          std::chrono::steady_clock::time_point deadline) {
    std::signal(SIGPIPE, SIG_IGN);  // a run that stops reading makes the feeder's write fail instead
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (options.terminalOutput) {
        close(out[0]);
        close(out[1]);
        out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out[0] < 0 || grantpt(out[0]) != 0 || unlockpt(out[0]) != 0) throw std::runtime_error("no terminal");
        out[1] = open(ptsname(out[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    int terminal = -1;  // the input terminal's other end, held while the run goes
    if (options.terminalInput) {
        close(in[0]);
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) throw std::runtime_error("no terminal");
        in[0] = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    const pid_t child = startTwoband(directory, args, io, options, out[1], in[0]);
    close(in[0]);
    close(out[1]);
    std::thread feeder([&] {
        for (std::size_t done = 0; done < options.input.size();) {
            const ssize_t put = write(in[1], options.input.data() + done, options.input.size() - done);
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        close(in[1]);
    });
    Bytes drained;
    std::thread drainer([&] {
        std::uint8_t block[65536];
        for (ssize_t got; (got = read(out[0], block, sizeof block)) > 0;) drained.insert(drained.end(), block, block + got);
        close(out[0]);
    });
    RunResult result = collect(child, io, deadline, describeRun(args));
    feeder.join();
    drainer.join();
    if (terminal >= 0) close(terminal);
    result.outputBytes = std::move(drained);
    result.output.assign(result.outputBytes.begin(), result.outputBytes.end());
    if (testingOtherBuild()) result.output = withUnixLineEnds(result.output);
    return result;
}

}  // namespace

RunResult runTwoband(const std::filesystem::path& directory, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const TempDir io;  // kept apart so the run's own folder holds only what the test put there
    const auto deadline = std::chrono::steady_clock::now() + options.longestRun;
    if (options.pipes || options.terminalOutput || options.terminalInput) {
        return runThroughPipes(directory, args, io, options, deadline);
    }
    return collect(startTwoband(directory, args, io, options), io, deadline, describeRun(args));
}

BackgroundRun::BackgroundRun(const std::filesystem::path& directory, const std::vector<std::string>& args,
                             const RunOptions& options)
    : what_(describeRun(args)), deadline_(std::chrono::steady_clock::now() + options.longestRun) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");  // the run holds only its end
    output_ = ends[0];
    pid_ = startTwoband(directory, args, io_, options, ends[1]);
    close(ends[1]);
}

BackgroundRun::~BackgroundRun() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    closeOutput();
}

void BackgroundRun::signal(int number) const { kill(pid_, number); }

void BackgroundRun::closeOutput() {
    if (output_ >= 0) close(std::exchange(output_, -1));
}

RunResult BackgroundRun::finish() {
    RunResult result = collect(pid_, io_, deadline_, what_);
    closeOutput();
    pid_ = -1;
    return result;
}

}  // namespace testing_support
