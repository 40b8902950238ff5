// twoband: two-band dynamic range compressor for 16-bit stereo WAV files.
//
// Usage: twoband [file [maxGain recoverSpeed feedbackSpeed]] | --help | --version
// Without arguments the file name is asked for at a prompt. The result is written
// beside the input with a 'C' in front of the file name. Every outcome is reported on
// standard output; the exit status is 0 when the output was written (or help or the
// version was asked for) and 1 when it was not.

#include <cstdio>
#include <cstdlib>

#include "command_line.hpp"
#include "sample_file.hpp"
#include "version.hpp"

int main(int argc, char* argv[]) {
    using namespace twoband;

    const Request request = parseRequest(argc, argv);
    switch (request.action) {
        case Request::Action::help:
            std::fputs(kUsageText, stdout);
            return EXIT_SUCCESS;
        case Request::Action::version:
            std::printf("twoband %s\n", kVersion);
            return EXIT_SUCCESS;
        case Request::Action::run:
            break;
    }

    std::printf("twoband %s - two-band dynamic range compressor for 16-bit stereo WAV files\n",
                kVersion);

    PathBuffer pathBuffer{};
    bool named = false;
    switch (request.nameSource) {
        case Request::NameSource::argument:
            storeName(request.name, pathBuffer);
            named = true;
            break;
        case Request::NameSource::prompt:
            named = promptForName(stdin, stdout, pathBuffer);
            if (named) std::fputs("\n\n", stdout);
            break;
        case Request::NameSource::missing:
            break;
    }
    if (!named) {
        std::fputs("\nNo input file given !\n", stdout);
        return EXIT_FAILURE;
    }

    echoSettings(stdout, request.choice);
    const bool written = runSampleFile(pathBuffer, request.choice.settings, {stdout, stderr});
    return written ? EXIT_SUCCESS : EXIT_FAILURE;
}
