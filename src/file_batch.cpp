#include "file_batch.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "system_file.hpp"
#include "temporary_files.hpp"

#ifdef __linux__
#include <sched.h>
#endif

namespace twoband {

namespace {

// A file's console: held in memory until the file reaches the front of the list, then
// the console itself.
class HeldConsole final : public Console {
public:
    explicit HeldConsole(Console& console) : console_(console) {}

    void out(std::string_view text) override { write(false, text); }
    void error(std::string_view text) override { write(true, text); }

    // Releases what was held, in order, and passes everything after it straight on.
    void goLive() {
        const std::lock_guard lock(mutex_);
        for (const auto& [isError, text] : held_) pass(isError, text);
        held_.clear();
        live_ = true;
    }

private:
    void write(bool isError, std::string_view text) {
        const std::lock_guard lock(mutex_);
        if (live_) {
            pass(isError, text);
        } else {
            held_.emplace_back(isError, text);
        }
    }
    void pass(bool isError, std::string_view text) { isError ? console_.error(text) : console_.out(text); }

    Console& console_;
    std::mutex mutex_;
    std::vector<std::pair<bool, std::string>> held_;  // (standard error?, text)
    bool live_ = false;
};

enum class Outcome { pending, written, failed, left };

// One file's block of the transcript, and its outcome.
Outcome runFile(const BatchFile& file, std::size_t number, std::size_t count, const Settings& settings,
                const FileOptions& options, Console& console, bool numbered) {
    if (numbered) console.outf("[%zu/%zu] ", number, count);
    if (!file.outputOf.empty()) {
        console.outf("%s: the output of %s, left as it is\n", file.name.c_str(), file.outputOf.c_str());
        return Outcome::left;
    }
    if (numbered) console.outf("%s\n", file.name.c_str());
    const bool written = file.opened ? compressInput(*file.opened, file.name, settings, options, console)
                                     : runSampleFile(file.name, settings, options, console);
    return written ? Outcome::written : Outcome::failed;
}

// Where a name's leaf starts: after its last separator ('/' or '\\').
std::size_t leafOf(const std::string& name) {
    const std::size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? 0 : separator + 1;
}

// The folder part of a name, as a name that opens it.
std::string folderOf(const std::string& name) {
    const std::size_t leaf = leafOf(name);
    return leaf == 0 ? "." : leaf == 1 ? name.substr(0, 1) : name.substr(0, leaf - 1);
}

// What makes two names one: the file they reach, and where its output goes (the
// folder and the leaf, as the file system compares leaves). Names that cannot be
// opened are one only when they are the same text.
struct NameKey {
    std::optional<FileIdentity> file;
    std::optional<FileIdentity> outputFolder;
    std::string text;
    auto operator<=>(const NameKey&) const = default;
};

NameKey keyOf(const std::string& name, const std::optional<FileIdentity>& file) {
    const std::optional<FileIdentity> folder = file ? identityOf(folderOf(name)) : std::nullopt;
    if (!file || !folder) return {std::nullopt, std::nullopt, name};
    return {file, folder, foldedName(name.substr(leafOf(name)))};
}

// The sibling whose earlier output the input `name` is, if it is one: `name` without
// the C in front of its leaf.
std::string earlierOutputOf(const std::string& name, const FileOptions& options) {
    const std::size_t leaf = leafOf(name);
    if (leaf >= name.size() || foldedName(name.substr(leaf, 1)) != foldedName("C")) return {};
    const std::string sibling = name.substr(0, leaf) + name.substr(leaf + 1);
    std::error_code error;
    SystemFile file = SystemFile::openForReading(sibling, error);
    const std::optional<SystemFile::Status> status = file ? file.status(error) : std::nullopt;
    if (!status || !status->regular) return {};
    const InputFile input{std::move(file), status->size};
    const std::optional<SampleRange> samples = samplesOf(input, options);
    return samples && isEarlierOutput(name, input, *samples) ? sibling : std::string();
}

}  // namespace

std::vector<BatchFile> planBatch(const std::vector<std::string>& names, const FileOptions& options) {
    std::set<NameKey> seen;
    std::vector<std::pair<std::string, std::optional<FileIdentity>>> distinct;
    for (const std::string& name : names) {
        const std::optional<FileIdentity> file = identityOf(name);
        if (seen.insert(keyOf(name, file)).second) distinct.emplace_back(name, file);
    }
    // The files standing at the inputs' output names: inputs found there are opened now,
    // before any output replaces them.
    std::set<FileIdentity> replaced;
    for (const auto& [name, file] : distinct) {
        const std::optional<FileIdentity> output = identityOf(deriveOutputName(name));
        if (output && output != file) replaced.insert(*output);
    }
    std::vector<BatchFile> files;
    for (const auto& [name, file] : distinct) {
        BatchFile planned{name, earlierOutputOf(name, options), nullptr};
        if (planned.outputOf.empty() && file && replaced.contains(*file)) {
            std::error_code error;
            SystemFile opened = SystemFile::openForReading(name, error);
            const std::optional<SystemFile::Status> status = opened ? opened.status(error) : std::nullopt;
            if (status && status->regular) {
                planned.opened = std::make_shared<const InputFile>(InputFile{std::move(opened), status->size});
            }
        }
        files.push_back(std::move(planned));
    }
    return files;
}

BatchOutcome runBatch(const std::vector<BatchFile>& files, const Settings& settings, const FileOptions& options,
                      Console& console, unsigned workers, bool numbered) {
    const std::size_t count = files.size();
    std::vector<std::unique_ptr<HeldConsole>> consoles;
    for (std::size_t i = 0; i < count; ++i) consoles.push_back(std::make_unique<HeldConsole>(console));
    std::vector<Outcome> outcomes(count, Outcome::pending);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};

    const auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            const Outcome outcome = runFile(files[i], i + 1, count, settings, options, *consoles[i], numbered);
            const std::lock_guard lock(mutex);
            outcomes[i] = outcome;
            finished.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < std::min<std::size_t>(std::max(workers, 1u), count); ++i) {
        threads.push_back(stopSafeThread(work));
    }
    // The front of the list prints live; each file ahead of it has finished.
    for (std::size_t front = 0; front < count; ++front) {
        consoles[front]->goLive();
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return outcomes[front] != Outcome::pending; });
    }
    for (std::thread& thread : threads) thread.join();

    BatchOutcome outcome;
    for (const Outcome each : outcomes) {
        (each == Outcome::written ? outcome.written : each == Outcome::failed ? outcome.failed : outcome.left)++;
    }
    if (numbered) {
        console.outf("%zu file%s: %zu written, %zu failed", count, count == 1 ? "" : "s", outcome.written,
                     outcome.failed);
        if (outcome.left != 0) console.outf(", %zu left as %s", outcome.left, outcome.left == 1 ? "it is" : "they are");
        console.out("\n");
    }
    return outcome;
}

unsigned batchWorkers() {
    unsigned processors = std::thread::hardware_concurrency();
#ifdef __linux__
    cpu_set_t affinity;
    if (sched_getaffinity(0, sizeof affinity, &affinity) == 0) {
        processors = static_cast<unsigned>(CPU_COUNT(&affinity));
    }
#endif
    // One more than the processors: a file whose output is being synced to the disk
    // waits without a processor, which the one more keeps busy. Each file in flight
    // holds a slot of the temporary files' table.
    return std::clamp(processors + 1, 2u, static_cast<unsigned>(kTemporarySlots));
}

}  // namespace twoband
