// twoband: two-band dynamic range compressor for 16-bit stereo WAV files.
//
// Usage: twoband [file [maxGain recoverSpeed feedbackSpeed]] | --help | --version
// Without arguments the file name is asked for at a prompt. The result is written
// beside the input with a 'C' in front of the file name. The exit status is always 0;
// every outcome is reported on standard output.

#include <cstdio>

#include "command_line.hpp"
#include "sample_file.hpp"

int main(int argc, char* argv[]) {
    using namespace twoband;

    switch (infoRequest(argc, argv)) {
        case InfoRequest::help:
            std::fputs(kUsageText, stdout);
            return 0;
        case InfoRequest::version:
            std::fputs(kVersionText, stdout);
            return 0;
        case InfoRequest::none:
            break;
    }

    std::fputs("twoband 1.0 - two-band dynamic range compressor for 16-bit stereo WAV files\n",
               stdout);

    PathBuffer pathBuffer{};
    if (argc >= 2) {
        storeName(argv[1], pathBuffer);
    } else if (argc == 1 && promptForName(stdin, stdout, pathBuffer)) {
        std::fputs("\n\n", stdout);
    } else {
        std::fputs("\nNo input file given !\n", stdout);
        return 0;
    }

    const SettingsChoice choice = chooseSettings(argc, argv);
    echoSettings(stdout, choice);
    runSampleFile(pathBuffer, choice.settings, stdout);
    return 0;
}
