#pragma once

// The process's arguments and standard streams as a user's console has them. On
// Windows the arguments arrive as UTF-16 and become UTF-8 text, and a console is
// written and read in UTF-16, so that every script shows; redirected, the streams
// carry UTF-8 bytes. Elsewhere arguments and streams are the bytes they are.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.hpp"

namespace twoband {

// A standard stream the program was started without (`2>&-`) is held by /dev/null,
// opened for reading only: no file the run opens takes its number, and its messages
// with it, and writing to it fails as to a closed stream. First thing in main.
void holdClosedStandardStreams();

// The program's arguments, its own name first (none for a count of 0).
std::vector<std::string> programArguments(int argc, char* argv[]);

// The console on the standard streams; each text is flushed as it is written.
class StandardConsole final : public Console {
public:
    void out(std::string_view text) override;
    void error(std::string_view text) override;
};

// Whether standard output, or standard input, is a terminal (a console on Windows).
bool standardOutputIsTerminal();
bool standardInputIsTerminal();

// One line of `stream` without its line end ("\n"); nothing at the end of the stream.
std::optional<std::string> readLine(std::FILE* stream);

// One line of standard input, as readLine reads it; on a Windows console, whatever
// script it is typed in.
std::optional<std::string> readInputLine();

// Whether the program asks for Enter before it ends: only when it is the only process
// attached to its console (Explorer started it for a dropped file or a double click,
// and the window closes with it) and standard input is that console.
bool waitsForEnter(unsigned long consoleProcesses, bool inputIsConsole);

// On Windows, where waitsForEnter says so, asks for Enter and waits for it.
void holdWindowOpen(Console& console);

}  // namespace twoband
