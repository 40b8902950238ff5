#include "files/file_batch.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "files/output_mark.hpp"
#include "files/system_file.hpp"
#include "files/temporary_files.hpp"

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
                const Options& options, Console& console, bool numbered) {
    if (numbered) console.outf("[%zu/%zu] ", number, count);
    if (!file.outputOf.empty()) {
        console.outf("%s: the output of %s, left as it is\n", file.name.c_str(), file.outputOf.c_str());
        return Outcome::left;
    }
    if (numbered) console.outf("%s\n", displayName(file.name).c_str());
    if (file.refusal) {
        console.out(file.refusal->message);
        console.problem(file.refusal->subject, file.refusal->reason);
        return Outcome::failed;
    }
    return runSampleFile(file.name, settings, options, console, kBlockBytes, file.output) ? Outcome::written
                                                                                          : Outcome::failed;
}

// The folder part of a name, as a name that opens it.
std::string folderOf(const std::string& name) {
    const std::size_t leaf = fileNameStart(name);
    return leaf == 0 ? "." : leaf == 1 ? name.substr(0, 1) : name.substr(0, leaf - 1);
}

// `name` inside `folder`.
std::string inFolder(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' || folder.back() == '\\' ? folder + name : folder + "/" + name;
}

// What makes two output places one: the folder and the leaf, as the file system
// compares leaves; the text where the folder cannot be opened.
struct PlaceKey {
    std::optional<FileIdentity> folder;
    std::string text;
    auto operator<=>(const PlaceKey&) const = default;
};

PlaceKey keyOf(const OutputPlace& place) {
    const std::optional<FileIdentity> folder =
        place.standardOutput ? std::nullopt : identityOf(folderOf(place.name));
    if (!folder) return {std::nullopt, place.name};
    return {folder, foldedName(place.name.substr(fileNameStart(place.name)))};
}

// The sibling input whose earlier output the input `name` is, if it is one: the file
// its mark names, beside it, where that exists.
std::string earlierOutputOf(const std::string& name) {
    const std::optional<std::string> input = markedInputOf(name);
    if (!input || input->empty()) return {};
    const std::string sibling = name.substr(0, fileNameStart(name)) + *input;
    const std::optional<FileIdentity> file = identityOf(sibling);
    return file && file != identityOf(name) ? sibling : std::string();
}

bool isWavName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::any_of(std::begin(kWavExtensions), std::end(kWavExtensions),
                       [&](const char* extension) { return name.ends_with(extension); });
}

// An input of the plan, and why it is refused before it is opened, if it is.
struct PlannedInput {
    std::string name;
    std::optional<PlannedRefusal> refusal;
    std::string subfolder = {};  // under the folder named, with -r ("Artist/Album/")
};

PlannedRefusal cannotOpen(const std::string& name, std::string reason) {
    return {"Could not open " + name + " !\n\n", name, std::move(reason)};
}

// The WAV files under `folder` (`subfolder` of a folder named) and its folders, in
// name order, hidden ones left out and `skipped` (the output folder) too; a folder
// that cannot be read is an input of the plan that says why.
void addFolder(const std::string& folder, const std::string& subfolder, const std::optional<FileIdentity>& skipped,
               std::vector<PlannedInput>& inputs) {
    std::error_code error;
    std::optional<std::vector<FolderEntry>> entries = listFolder(folder, error);
    if (!entries) {
        inputs.push_back({folder, cannotOpen(folder, error.message())});
        return;
    }
    std::sort(entries->begin(), entries->end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    for (const FolderEntry& entry : *entries) {
        if (entry.name.front() == '.') continue;  // hidden, and every temporary file
        const std::string path = inFolder(folder, entry.name);
        if (entry.kind == FolderEntry::Kind::folder) {
            if (!skipped || identityOf(path) != skipped) addFolder(path, subfolder + entry.name + "/", skipped, inputs);
        } else if (entry.kind == FolderEntry::Kind::file && isWavName(entry.name)) {
            inputs.push_back({path, std::nullopt, subfolder});
        }
    }
}

}  // namespace

OutputPlace outputFor(const std::string& name, const Options& options, const std::string& subfolder) {
    if (options.toStandardOutput || options.output == kStandardStream ||
        (name == kStandardStream && !options.output)) {
        return kStandardOutput;
    }
    if (options.output) return {*options.output};
    if (options.outputDir) {
        return {inFolder(*options.outputDir, subfolder + name.substr(fileNameStart(name))), false, !subfolder.empty()};
    }
    return {deriveOutputName(name)};
}

std::vector<BatchFile> planBatch(const std::vector<std::string>& names, const Options& options,
                                 const std::vector<std::string>& unmatched) {
    // The inputs, with the folders' files in their place.
    std::vector<PlannedInput> inputs;
    const std::optional<FileIdentity> outputFolder = options.outputDir ? identityOf(*options.outputDir) : std::nullopt;
    for (const std::string& name : names) {
        std::error_code ignored;
        const std::optional<NameStatus> status = options.recursive ? statusOfName(name, ignored) : std::nullopt;
        if (std::find(unmatched.begin(), unmatched.end(), name) != unmatched.end()) {
            inputs.push_back({name, cannotOpen(name, "no file matches this pattern")});
        } else if (status && status->kind == NameStatus::Kind::directory) {
            addFolder(name, "", outputFolder, inputs);
        } else {
            inputs.push_back({name, std::nullopt});
        }
    }
    // "twoband song.wav out.wav", as other tools name an output: say how this one does.
    const bool noOutputOption = !options.output && !options.outputDir && !options.toStandardOutput;
    if (names.size() == 2 && inputs.size() == 2 && noOutputOption && !inputs[1].refusal && nameExists(names[0]) &&
        !nameExists(names[1])) {
        inputs[1].refusal = cannotOpen(names[1], std::make_error_code(std::errc::no_such_file_or_directory).message() +
                                                    "; -o names an output: twoband " + names[0] + " -o " + names[1]);
    }
    // Each input's file, output place and what stands there, found once.
    struct Planned {
        BatchFile entry;
        std::optional<FileIdentity> file;
        PlaceKey place;
        std::optional<FileIdentity> standing;  // the file at the output name
    };
    std::vector<Planned> planned;
    // Standard output, where it is a file: never one of the inputs.
    const std::optional<FileIdentity> standardOutputFile = standardOutputIdentity();
    for (auto& [name, refusal, subfolder] : inputs) {
        BatchFile entry{name, outputFor(name, options, subfolder), {}, std::nullopt, std::move(refusal)};
        const PlaceKey place = keyOf(entry.output);
        const std::optional<FileIdentity> standing =
            entry.output.standardOutput ? std::nullopt : identityOf(entry.output.name);
        const std::optional<FileIdentity> file = name == kStandardStream ? std::nullopt : identityOf(name);
        planned.push_back({std::move(entry), file, place, standing});
    }
    std::map<PlaceKey, std::string> outputs;  // by the input whose output goes there
    for (const Planned& each : planned) {
        if (!each.entry.output.standardOutput) outputs.emplace(each.place, each.entry.name);
    }
    // Each name once; each output place taken by one input only.
    std::set<std::pair<std::optional<FileIdentity>, PlaceKey>> seen;
    std::map<PlaceKey, std::string> taken;
    std::vector<Planned> kept;
    for (Planned& each : planned) {
        BatchFile& entry = each.entry;
        const std::string& name = entry.name;
        // Names that cannot be opened are one only when they are the same text.
        if (!seen.insert({each.file, each.file ? each.place : PlaceKey{std::nullopt, name}}).second) continue;
        const bool beside = !options.output && !options.toStandardOutput && name != kStandardStream;
        if (beside && !entry.refusal) entry.outputOf = earlierOutputOf(name);
        // A name that is no file yet, but another input's output: it will be that output.
        if (const auto output = outputs.find(keyOf(OutputPlace{name}));
            !each.file && name != kStandardStream && output != outputs.end() && output->second != name) {
            entry.outputOf = output->second;
        }
        if (!entry.refusal && entry.outputOf.empty()) {
            const std::string& output = entry.output.name;
            if (entry.output.standardOutput && each.file && each.file == standardOutputFile) {
                entry.refusal = {"Could not overwrite standard output !\n", output,
                                 "is " + name + " itself; nothing written (the output would destroy its input)"};
            } else if (each.standing && each.standing == each.file && (options.output || options.outputDir)) {
                entry.refusal = {"Could not overwrite " + output + " !\n", output, "is the input itself; not replaced"};
            } else if (const auto [first, inserted] = taken.emplace(each.place, name);
                       !inserted && !entry.output.standardOutput) {
                entry.refusal = {"Could not overwrite " + output + " !\n", output,
                                 "is the output of " + first->second + " in this run; not written twice"};
            }
        }
        kept.push_back(std::move(each));
    }
    // An input standing at another one's output name is read before that output
    // replaces it.
    std::map<FileIdentity, std::size_t> byFile;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].file) byFile.emplace(*kept[i].file, i);
    }
    std::vector<BatchFile> files;
    for (Planned& each : kept) {
        BatchFile& entry = each.entry;
        const bool replaces = !entry.refusal && entry.outputOf.empty() && each.standing && each.standing != each.file;
        if (const auto found = replaces ? byFile.find(*each.standing) : byFile.end();
            found != byFile.end() && kept[found->second].entry.outputOf.empty()) {
            entry.after = found->second;
        }
        files.push_back(std::move(entry));
    }
    return files;
}

BatchOutcome runBatch(const std::vector<BatchFile>& files, const Settings& settings, const Options& options,
                      Console& console, unsigned workers, bool numbered) {
    const std::size_t count = files.size();
    std::vector<std::unique_ptr<HeldConsole>> consoles;
    for (std::size_t i = 0; i < count; ++i) consoles.push_back(std::make_unique<HeldConsole>(console));
    std::vector<Outcome> outcomes(count, Outcome::pending);
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};

    // Each file starts after the one it waits for, which is never behind it in `order`,
    // so a worker waits only for a file another worker holds.
    std::vector<std::size_t> order;
    std::vector<std::optional<std::size_t>> after(count);
    {
        enum { unseen, visiting, placed };
        std::vector<int> state(count, unseen);
        const std::function<void(std::size_t)> place = [&](std::size_t i) {
            state[i] = visiting;
            if (const std::optional<std::size_t> first = files[i].after; first && state[*first] != visiting) {
                if (state[*first] == unseen) place(*first);
                after[i] = first;
            }  // a file that would wait for itself, round a ring of links, waits for none
            state[i] = placed;
            order.push_back(i);
        };
        for (std::size_t i = 0; i < count; ++i) {
            if (state[i] == unseen) place(i);
        }
    }
    const auto work = [&] {
        for (std::size_t at; (at = next++) < count;) {
            const std::size_t i = order[at];
            if (after[i]) {
                std::unique_lock lock(mutex);
                finished.wait(lock, [&] { return outcomes[*after[i]] != Outcome::pending; });
            }
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
