// Loaded ahead of the C library into a run of twoband (LD_PRELOAD): an open that
// creates a new file (O_CREAT | O_EXCL, as a temporary file is made) is held, before
// the file exists or, with HELD_OPEN_AFTER set, after it. HELD_OPEN_MILLISECONDS says
// for how long: "300", or "50,400" for 50 ms the first time and 400 ms every time
// after. As each hold begins it adds a byte to the file HELD_OPEN_LOG names, so that
// a test knows when a stop lands inside it.

#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>

namespace {

using OpenCall = int (*)(const char*, int, ...);

OpenCall next(const char* symbol) { return reinterpret_cast<OpenCall>(dlsym(RTLD_NEXT, symbol)); }

void hold(OpenCall open) {
    if (const char* log = std::getenv("HELD_OPEN_LOG")) {
        const int file = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        (void)!write(file, "h", 1);
        close(file);
    }
    static std::atomic<int> holds{0};
    const char* milliseconds = std::getenv("HELD_OPEN_MILLISECONDS");
    long held = 0;
    for (int skip = holds++; milliseconds != nullptr; --skip) {
        char* end = nullptr;
        held = std::strtol(milliseconds, &end, 10);
        if (skip == 0 || *end != ',') break;
        milliseconds = end + 1;
    }
    const timespec pause{held / 1000, held % 1000 * 1000000};
    nanosleep(&pause, nullptr);
}

int heldOpen(const char* symbol, const char* name, int flags, va_list rest) {
    const OpenCall open = next(symbol);
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
    const bool creating = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    const bool after = std::getenv("HELD_OPEN_AFTER") != nullptr;
    if (creating && !after) hold(open);
    const int file = open(name, flags, mode);
    if (creating && after) hold(open);
    return file;
}

}  // namespace

extern "C" int open(const char* name, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int file = heldOpen("open", name, flags, rest);
    va_end(rest);
    return file;
}

extern "C" int open64(const char* name, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int file = heldOpen("open64", name, flags, rest);
    va_end(rest);
    return file;
}
