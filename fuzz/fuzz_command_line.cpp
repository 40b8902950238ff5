// Fuzzes argument handling and the prompt. Input: NUL-separated argument strings
// (any count, any bytes; one starting with 'f' names a file); the whole input also
// serves as typed prompt input.
// Checks: a refused command line says why; settings are either the defaults or
// user-defined values inside the ranges, given after the files; names are arguments taken whole and in order; and a prompted
// name is a line of at least the minimum length, taken from what was typed, without
// blanks around it but inside quotes.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "fuzz_support.hpp"
#include "console/terminal.hpp"

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
    // A first byte of 1 stands for a count of 0, which has no program name.
    const std::vector<std::string> arguments =
        size > 0 && data[0] == 1 ? std::vector<std::string>{} : pieces;

    // A piece starting with 'f' names a file.
    const auto exists = [](const std::string& name) { return !name.empty() && name.front() == 'f'; };
    const Request request = parseRequest(arguments, exists);
    const SettingsChoice& choice = request.choice;
    const Settings& s = choice.settings;
    // The arguments that are no options: "-", numbers, other words, all after "--";
    // the value of an option given as the next argument is none.
    std::size_t given = 0;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (optionsEnded || argument.size() < 2 || argument[0] != '-' ||
                   parseFloatSetting(argument.c_str())) {
            ++given;
        } else if (argument == "--output" || argument == "--output-dir" || argument == "--loudness" ||
                   argument == "--true-peak" || argument == "--target" || argument == "--report" ||
                   argument == "--dither") {
            ++i;
        } else if (argument[1] != '-') {
            const std::size_t value = argument.find_first_of("od", 1);
            if (value == argument.size() - 1) ++i;
        }
    }
    require(request.action != Request::Action::refuse || !request.problem.empty(), "a refusal says why");
    require(request.action != Request::Action::run ||
                (request.nameSource == Request::NameSource::arguments) == (given > 0),
            "names from the arguments exactly when there are some");
    // The names are arguments, whole and in order.
    std::size_t next = 1;
    for (const std::string& name : request.names) {
        // Standard input may be named as /dev/stdin or /dev/fd/0 too.
        const auto names = [&](const std::string& argument) {
            return argument == name || (name == "-" && (argument == "/dev/stdin" || argument == "/dev/fd/0"));
        };
        while (next < arguments.size() && !names(arguments[next])) ++next;
        require(next++ < arguments.size(), "every name an argument, in order");
    }
    require(request.settingsProblem.empty() || !choice.userDefined, "a problem only with the defaults");
    if (choice.userDefined) {
        require(request.names.size() + 3 == given, "user-defined only with three settings after the files");
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
    const std::string typed(reinterpret_cast<const char*>(data), size);
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (in == nullptr) return 0;
    struct Sink final : Console {
        void out(std::string_view) override {}
        void error(std::string_view) override {}
    } sink;
    echoSettings(sink, choice);
    if (const std::optional<std::string> name = promptForName([&] { return readLine(in); }, sink)) {
        std::size_t characters = 0;
        for (const char c : *name) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        require(characters >= kMinPromptedNameLength, "prompted name length");
        const bool blankAround = std::isspace(static_cast<unsigned char>(name->front())) != 0 ||
                                 std::isspace(static_cast<unsigned char>(name->back())) != 0;
        require(!blankAround || typed.find("'" + *name + "'") != std::string::npos ||
                    typed.find('"' + *name + '"') != std::string::npos,
                "blanks around a prompted name only inside quotes");
        require(typed.find(*name) != std::string::npos, "a prompted name is what was typed");
    }
    std::fclose(in);
    return 0;
}
