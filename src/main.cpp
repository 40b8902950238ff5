// twoband: two-band dynamic range compressor for 16-bit WAV files.
//
// Usage: twoband [option]... [file... [maxGain recoverSpeed feedbackSpeed]] | --help | --version
// Without a file the name is asked for at a prompt; "-" is standard input. Each result
// is written beside its input with a 'C' in front of the file name, or where the
// options say. Every outcome is reported on standard output (standard error while
// standard output carries audio); the exit status is 0 when every output was written
// (or help or the version was asked for) and 1 when one was not, or the command line
// could not be used.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "delivery/delivery_pass.hpp"
#include "files/input.hpp"
#include "files/output_mark.hpp"
#include "files/file_batch.hpp"
#include "files/system_file.hpp"
#include "files/temporary_files.hpp"
#include "console/terminal.hpp"
#include "version.hpp"

namespace {

using namespace twoband;

// The report of the run, replacing only an earlier report (proven by its mark, as an
// output is) or an empty file, unless `force`; nothing, and why, where it cannot be.
std::shared_ptr<ReportFile> openReport(const std::string& name, bool force, Console& console) {
    std::string reason;
    if (std::optional<InputFile> existing = InputFile::open(name, reason); existing && !force && existing->size() != 0) {
        switch (proveOutput(name, reportMarkName(name), reason)) {
            case Proof::proven:
                break;
            case Proof::noMarks:
                console.problem(name, "exists, and this file system keeps no marks to prove it an earlier report; "
                                      "not replaced (--force replaces it)");
                return nullptr;
            default:
                console.problem(name, "exists and is not an earlier report; not replaced (--force replaces it)");
                return nullptr;
        }
    }
    std::error_code error;
    std::shared_ptr<ReportFile> report = ReportFile::create(name, error);
    if (!report) console.problem(name, error.message());
    return report;
}

int run(const Request& request, Console& console) {
    switch (request.action) {
        case Request::Action::help:
            console.out(kUsageText);
            return EXIT_SUCCESS;
        case Request::Action::version:
            console.outf("twoband %s\n", kVersion);
            return EXIT_SUCCESS;
        case Request::Action::refuse:
            console.error("twoband: " + request.problem + "\n" + kUsageHint);
            return EXIT_FAILURE;
        case Request::Action::run:
            break;
    }
    // Standard output carries audio only for the one input of a run (or the prompted one).
    const bool audioOut = outputFor(request.names.empty() ? "" : request.names.front(), request.options).standardOutput;
    if (audioOut && standardOutputIsTerminal()) {
        console.error("twoband: standard output is a terminal; no audio is written to it "
                      "(redirect it to a file or a pipe, or give -o FILE)\n");
        return EXIT_FAILURE;
    }
    const bool audioIn = std::find(request.names.begin(), request.names.end(), kStandardStream) != request.names.end();
    if (audioIn && standardInputIsTerminal()) {
        console.error("twoband: standard input is a terminal; - reads audio from a pipe or a redirection "
                      "(twoband - < song.wav, or a file name instead of -)\n");
        return EXIT_FAILURE;
    }
    if (const std::optional<std::string>& folder = request.options.outputDir) {
        std::error_code error;
        const std::optional<NameStatus> status = statusOfName(*folder, error);
        if (!status || status->kind != NameStatus::Kind::directory) {
            console.error("twoband: " + *folder + ": " +
                          (!status ? error.message() : status->kind == NameStatus::Kind::missing ? "no such folder" : "not a folder") +
                          "; --output-dir names a folder that exists\n");
            return EXIT_FAILURE;
        }
    }
    // While standard output carries audio, every message goes to standard error.
    RoutedConsole messages(console, audioOut, request.options.quiet);

    messages.outf("twoband %s - two-band dynamic range compressor for 16-bit WAV files\n", kVersion);

    std::vector<std::string> names = request.names;
    if (request.nameSource == Request::NameSource::prompt) {
        if (std::optional<std::string> name = promptForName(readInputLine, messages, nameExists)) {
            messages.out("\n\n");
            names.push_back(std::move(*name));
        }
    }
    if (names.empty()) {
        messages.out("\nNo input file given !\n");
        return EXIT_FAILURE;
    }

    if (!request.settingsProblem.empty()) {
        messages.error("twoband: " + request.settingsProblem + "\n");
    }
    echoSettings(messages, request.choice);
    Options options = request.options;
    if (const std::optional<std::string>& report = options.delivery.report) {
        if (!(options.delivery.reportFile = openReport(*report, options.force, messages))) return EXIT_FAILURE;
    }
    const BatchOutcome outcome = runBatch(planBatch(names, options, request.unmatched), request.choice.settings,
                                          options, messages, batchWorkers(), request.severalFiles);
    if (options.delivery.reportFile) {
        std::error_code error;
        if (!options.delivery.reportFile->commit(error)) {
            messages.problem(*options.delivery.report, error.message());
            return EXIT_FAILURE;
        }
    }
    return outcome.failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char* argv[]) {
    holdClosedStandardStreams();
    removeTemporariesWhenStopped();
    StandardConsole console;
#ifdef _WIN32
    // The Windows shells hand wildcards over as they are; Windows programs expand them.
    const Request request = parseRequest(programArguments(argc, argv), nameExists, expandWildcards);
#else
    const Request request = parseRequest(programArguments(argc, argv), nameExists);
#endif
    const int status = run(request, console);
    holdWindowOpen(console);
    return status;
}
