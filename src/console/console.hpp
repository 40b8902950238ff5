#pragma once

// Where a run tells what happens: its messages (standard output) and the system's
// reasons (standard error), each text written whole and in order. The engine's
// progress dots come through it too.

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/engine_pass.hpp"

namespace twoband {

class Console : public ProgressOutput {
public:
    virtual void out(std::string_view text) = 0;
    virtual void error(std::string_view text) = 0;

    void progress(std::string_view text) override { out(text); }

    // A message with numbers or a name in it, printf-style (C99's, on Windows too).
#ifdef __MINGW32__
    [[gnu::format(gnu_printf, 2, 3)]]
#else
    [[gnu::format(printf, 2, 3)]]
#endif
    void outf(const char* format, ...) {
        std::va_list arguments;
        va_start(arguments, format);
        std::va_list again;
        va_copy(again, arguments);
        std::string text(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, arguments)), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, again);
        va_end(again);
        va_end(arguments);
        out(text);
    }

    // One line on standard error: the file and why it was refused (or a warning).
    void problem(std::string_view name, std::string_view reason) {
        error(std::string("twoband: ").append(name).append(": ").append(reason).append("\n"));
    }

protected:
    ~Console() = default;
};

// A console whose messages go to standard error instead (while standard output
// carries audio), or nowhere (quiet); the reasons always reach standard error.
class RoutedConsole final : public Console {
public:
    RoutedConsole(Console& console, bool toErrors, bool quiet)
        : console_(console), toErrors_(toErrors), quiet_(quiet) {}

    void out(std::string_view text) override {
        if (quiet_) return;
        toErrors_ ? console_.error(text) : console_.out(text);
    }
    void error(std::string_view text) override { console_.error(text); }

private:
    Console& console_;
    bool toErrors_;
    bool quiet_;
};

}  // namespace twoband
