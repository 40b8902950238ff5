// Fuzzes argument handling and the prompt. Input: NUL-separated argument strings
// (any count, any bytes); the whole input also serves as typed prompt input.
// Checks: settings are either the defaults or user-defined values inside the ranges,
// names are cut at the limit, and a prompted name is one whole word of at least the
// minimum length.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace twoband;
    using fuzzing::require;
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<const char*> argv;
    for (const std::string& piece : pieces) argv.push_back(piece.c_str());
    // A first byte of 1 stands for a count of 0, which has no program name.
    const int argc = size > 0 && data[0] == 1 ? 0 : static_cast<int>(argv.size());
    argv.push_back(nullptr);

    const Request request = parseRequest(argc, argv.data());
    const SettingsChoice& choice = request.choice;
    const Settings& s = choice.settings;
    require(request.action == Request::Action::run || argc == 2, "options only alone");
    require((request.nameSource == Request::NameSource::argument) == (argc >= 2 &&
                                                                    request.action == Request::Action::run),
            "a name argument exactly when there is one");
    if (choice.userDefined) {
        require(argc == 5, "user-defined only with three settings");
        require(s.maxGain >= kMaxGainLowest && s.maxGain <= kMaxGainHighest, "maxGain range");
        require(s.recoverSpeed >= kRecoverSpeedLowest && s.recoverSpeed <= kRecoverSpeedHighest,
                "recoverSpeed range");
        require(s.feedbackSpeed >= kFeedbackSpeedLowest && s.feedbackSpeed <= kFeedbackSpeedHighest,
                "feedbackSpeed range");
    } else {
        const Settings defaults;
        require(s.maxGain == defaults.maxGain && s.recoverSpeed == defaults.recoverSpeed &&
                    s.feedbackSpeed == defaults.feedbackSpeed,
                "defaults");
    }
    static std::FILE* const sink = std::fopen("/dev/null", "w");
    echoSettings(sink, choice);

    PathBuffer path;
    path.fill('x');
    storeName(argv[0], path);
    const std::size_t stored = std::strlen(path.data());
    require(stored == std::min(pieces[0].size(), kMaxNameLength), "name cut at the limit");
    require(pieces[0].compare(0, stored, path.data()) == 0, "name kept in order");

    std::FILE* typed = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (typed != nullptr) {
        PathBuffer prompted{};
        if (promptForName(typed, sink, prompted)) {
            const std::size_t length = std::strlen(prompted.data());
            require(length >= kMinPromptedNameLength && length <= kMaxNameLength,
                    "prompted name length");
            for (std::size_t i = 0; i < length; ++i) {
                require(!std::isspace(static_cast<unsigned char>(prompted[i])), "one word");
            }
        }
        std::fclose(typed);
    }
    return 0;
}
