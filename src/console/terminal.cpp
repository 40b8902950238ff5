#include "console/terminal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "files/temporary_files.hpp"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "files/system_file.hpp"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace twoband {

namespace {

#ifdef _WIN32
// The console behind a standard handle, if it is one.
HANDLE consoleOf(DWORD standard) {
    const HANDLE handle = GetStdHandle(standard);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) ? handle : nullptr;
}
#endif

void writeStandard(std::FILE* stream, std::string_view text) {
    waitIfStopping();
#ifdef _WIN32
    if (const HANDLE console = consoleOf(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE)) {
        const std::wstring wide = wideFromUtf8(std::string(text));
        DWORD written = 0;
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
#endif
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if ((!written || std::fflush(stream) != 0) && stream == stdout) {
        // Nobody reads the transcript any more (a closed pipe, a full disk): stop as a
        // signal would. A closed pipe needs no word; anything else, the reason.
        if (errno != EPIPE) {
            const std::string reason = std::generic_category().message(errno);
            std::fprintf(stderr, "twoband: standard output: %s\n", reason.c_str());
        }
        stopRemovingTemporaries(EXIT_FAILURE);
    }
}

}  // namespace

void holdClosedStandardStreams() {
#ifndef _WIN32
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
            ::open("/dev/null", O_RDONLY);  // takes the lowest free number: this one
        }
    }
#endif
}

std::vector<std::string> programArguments(int argc, char* argv[]) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide != nullptr && i < count; ++i) {
        arguments.push_back(utf8FromWide(wide[i], wcslen(wide[i])));
    }
    LocalFree(wide);
    return arguments;
#else
    return {argv, argv + argc};
#endif
}

void StandardConsole::out(std::string_view text) { writeStandard(stdout, text); }

bool standardOutputIsTerminal() {
#ifdef _WIN32
    return consoleOf(STD_OUTPUT_HANDLE) != nullptr;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

bool standardInputIsTerminal() {
#ifdef _WIN32
    return consoleOf(STD_INPUT_HANDLE) != nullptr;
#else
    return isatty(STDIN_FILENO) == 1;
#endif
}

void StandardConsole::error(std::string_view text) { writeStandard(stderr, text); }

std::optional<std::string> readInputLine() {
#ifdef _WIN32
    if (const HANDLE console = consoleOf(STD_INPUT_HANDLE)) {
        std::wstring line;
        wchar_t buffer[512];
        DWORD got = 0;
        while (ReadConsoleW(console, buffer, 512, &got, nullptr) && got > 0) {
            line.append(buffer, got);
            if (line.back() == L'\n') break;
        }
        if (line.empty() || line.front() == L'\x1a') return std::nullopt;  // Ctrl-Z ends the input
        while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
        return utf8FromWide(line.data(), line.size());
    }
#endif
    return readLine(stdin);
}

std::optional<std::string> readLine(std::FILE* stream) {
    std::string line;
    bool any = false;
    for (int c; (c = std::getc(stream)) != EOF;) {
        any = true;
        if (c == '\n') return line;
        line.push_back(static_cast<char>(c));
    }
    return any ? std::optional(line) : std::nullopt;
}

bool waitsForEnter(unsigned long consoleProcesses, bool inputIsConsole) {
    return consoleProcesses == 1 && inputIsConsole;
}

void holdWindowOpen([[maybe_unused]] Console& console) {
#ifdef _WIN32
    DWORD processes[2];
    if (waitsForEnter(GetConsoleProcessList(processes, 2), consoleOf(STD_INPUT_HANDLE) != nullptr)) {
        console.out("Press Enter to close this window.\n");
        readInputLine();
    }
#endif
}

}  // namespace twoband
