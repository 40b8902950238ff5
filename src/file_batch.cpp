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

#include "sample_file.hpp"
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
                Console& console, bool numbered) {
    if (numbered) {
        console.outf("[%zu/%zu] %s", number, count, file.name.c_str());
        if (!file.outputOf.empty()) {
            console.outf(": the output of %s, left as it is\n", file.outputOf.c_str());
            return Outcome::left;
        }
        console.out("\n");
    }
    return runSampleFile(file.name, settings, console) ? Outcome::written : Outcome::failed;
}

}  // namespace

std::vector<BatchFile> planBatch(const std::vector<std::string>& names) {
    // Files by name and by identity, each seen once.
    std::set<std::string> namesSeen;
    std::set<FileIdentity> filesSeen;
    std::vector<std::pair<std::string, std::optional<FileIdentity>>> distinct;
    for (const std::string& name : names) {
        const std::optional<FileIdentity> file = identityOf(name);
        if (namesSeen.insert(name).second && (!file || filesSeen.insert(*file).second)) {
            distinct.emplace_back(name, file);
        }
    }
    // The inputs by their outputs' names, and by the files at those names.
    std::map<std::string, const std::string*> byOutputName;
    std::map<FileIdentity, const std::string*> byOutputFile;
    for (const auto& [name, file] : distinct) {
        const std::string output = deriveOutputName(name);
        byOutputName.emplace(output, &name);
        if (const std::optional<FileIdentity> outputFile = identityOf(output); outputFile && outputFile != file) {
            byOutputFile.emplace(*outputFile, &name);
        }
    }
    std::vector<BatchFile> files;
    for (const auto& [name, file] : distinct) {
        BatchFile planned{name, {}};
        if (const auto found = byOutputName.find(name); found != byOutputName.end()) {
            planned.outputOf = *found->second;
        } else if (const auto same = file ? byOutputFile.find(*file) : byOutputFile.end(); same != byOutputFile.end()) {
            planned.outputOf = *same->second;
        }
        files.push_back(std::move(planned));
    }
    return files;
}

BatchOutcome runBatch(const std::vector<BatchFile>& files, const Settings& settings, Console& console,
                      unsigned workers, bool numbered) {
    const std::size_t count = files.size();
    std::vector<std::unique_ptr<HeldConsole>> consoles;
    for (std::size_t i = 0; i < count; ++i) consoles.push_back(std::make_unique<HeldConsole>(console));
    std::vector<Outcome> outcomes(count, Outcome::pending);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};

    const auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            const Outcome outcome = runFile(files[i], i + 1, count, settings, *consoles[i], numbered);
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
