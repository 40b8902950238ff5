// twoband: two-band dynamic range compressor for 16-bit WAV files.
//
// Usage: twoband [option]... [file... [maxGain recoverSpeed feedbackSpeed]] | --help | --version
// Without a file the name is asked for at a prompt. Each result is written beside its
// input with a 'C' in front of the file name. Every outcome is reported on standard
// output; the exit status is 0 when every output was written (or help or the version
// was asked for) and 1 when one was not, or the command line could not be read.

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "file_batch.hpp"
#include "system_file.hpp"
#include "temporary_files.hpp"
#include "terminal.hpp"
#include "version.hpp"

namespace {

using namespace twoband;

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

    console.outf("twoband %s - two-band dynamic range compressor for 16-bit WAV files\n", kVersion);

    std::vector<std::string> names = request.names;
    if (request.nameSource == Request::NameSource::prompt) {
        if (std::optional<std::string> name = promptForName(readInputLine, console)) {
            console.out("\n\n");
            names.push_back(std::move(*name));
        }
    }
    if (names.empty()) {
        console.out("\nNo input file given !\n");
        return EXIT_FAILURE;
    }

    if (!request.settingsProblem.empty()) {
        console.error("twoband: " + request.settingsProblem + "\n");
    }
    echoSettings(console, request.choice);
    const BatchOutcome outcome = runBatch(planBatch(names, request.options), request.choice.settings,
                                          request.options, console, batchWorkers(), request.severalFiles);
    return outcome.failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char* argv[]) {
    removeTemporariesWhenStopped();
    StandardConsole console;
    const int status = run(parseRequest(programArguments(argc, argv), nameExists), console);
    holdWindowOpen(console);
    return status;
}
