#pragma once

// The temporary files in flight, in one fixed table that a signal handler (on Windows
// the console's control handler) can read. When the run is stopped (Ctrl-C, SIGTERM
// and the like, a broken standard output), every one of them is removed before the
// program ends; outputs already renamed stay.
//
// Each slot holds a name of any length. A slot is taken before its file is created
// and claimed by whoever stops the run, so a file created during a stop is removed
// too, and a name is never freed while the stop may be reading it.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "files/system_file.hpp"

namespace twoband {

// How many temporary files may be in flight at once.
constexpr std::size_t kTemporarySlots = 64;

// A stop waits at most this long, in all, for temporary files other threads are
// creating, so that a file created during the stop is removed too; then it removes
// what stands and ends, however many creations are stuck.
constexpr int kStopWaitMilliseconds = 500;

// A temporary file's name, held in the table from before the file is created until it
// is renamed or removed.
class HeldName {
public:
    // Takes a slot for `name`; nothing when every slot is taken or the run is stopping.
    static std::optional<HeldName> hold(const NativeName& name);

    HeldName(HeldName&& other) noexcept;
    HeldName& operator=(HeldName&&) = delete;
    // Gives the slot back: by then the file was renamed or removed.
    ~HeldName();

    // The file was created (or its creation failed): a stop no longer waits for it.
    void created();
    const NativeChar* name() const { return name_.get(); }

private:
    HeldName(std::size_t slot, std::unique_ptr<NativeChar[]> name);
    std::size_t slot_;
    std::unique_ptr<NativeChar[]> name_;
};

// From here on SIGINT, SIGTERM, SIGHUP and SIGQUIT (those the run was not started
// ignoring) and, on Windows, Ctrl-C, Ctrl-Break and closing the console remove every
// temporary file in flight and then end the program as they would have. SIGPIPE is
// ignored: a broken standard output is found by the write that fails.
void removeTemporariesWhenStopped();

// Removes every temporary file in flight and ends the program with `status`: for a
// stop that comes from no signal. Safe to call from any thread.
[[noreturn]] void stopRemovingTemporaries(int status);

// Starts `body` on a thread that the stop signals never interrupt: they reach the
// main thread, which creates no temporary file of its own.
std::thread stopSafeThread(std::function<void()> body);

// Returns at once, unless a stop has begun: then waits for the end it brings. Called
// before anything is said, so that a run says nothing about the failures a stop
// causes it (a temporary file removed under it).
void waitIfStopping();

}  // namespace twoband
