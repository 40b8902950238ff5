// twoband: two-band dynamic range compressor for 16-bit WAV files.
//
// Usage: twoband [file [maxGain recoverSpeed feedbackSpeed]] | --help | --version
// Without arguments the file name is asked for at a prompt. The result is written
// beside the input with a 'C' in front of the file name. Every outcome is reported on
// standard output; the exit status is 0 when the output was written (or help or the
// version was asked for) and 1 when it was not.

#include <cstdlib>
#include <optional>
#include <string>

#include "command_line.hpp"
#include "sample_file.hpp"
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
        case Request::Action::run:
            break;
    }

    console.outf("twoband %s - two-band dynamic range compressor for 16-bit stereo WAV files\n", kVersion);

    std::optional<std::string> name;
    switch (request.nameSource) {
        case Request::NameSource::argument:
            name = request.name;
            break;
        case Request::NameSource::prompt:
            name = promptForName(readInputLine, console);
            if (name) console.out("\n\n");
            break;
        case Request::NameSource::missing:
            break;
    }
    if (!name) {
        console.out("\nNo input file given !\n");
        return EXIT_FAILURE;
    }

    echoSettings(console, request.choice);
    removeTemporariesWhenStopped();
    return runSampleFile(*name, request.choice.settings, console) ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char* argv[]) {
    StandardConsole console;
    const int status = run(parseRequest(programArguments(argc, argv)), console);
    holdWindowOpen(console);
    return status;
}
