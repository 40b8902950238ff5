#include "files/temporary_files.hpp"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

namespace twoband {

namespace {

// A slot goes free → creating (its name is being set, its file created) → created,
// and back to free when its file is renamed or removed. A stop claims every slot for
// good; it removes the file of a slot it took from an owner, and that owner then
// leaves the name alone.
enum SlotState : int { kFree, kCreating, kCreated, kClaimed };

struct Slot {
    std::atomic<int> state{kFree};
    std::atomic<const NativeChar*> name{nullptr};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<const NativeChar*>::is_always_lock_free,
              "a signal handler may touch only lock-free atomics");

// The program's one table of global state: a signal handler can reach nothing else.
Slot slots[kTemporarySlots];
// Set as a stop begins, for good.
std::atomic<bool> stopBegun{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may touch only lock-free atomics");

void sleepOneMillisecond() {
#ifdef _WIN32
    Sleep(1);
#else
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
#endif
}

// Milliseconds on a clock that only moves forward. Safe in a signal handler.
std::int64_t steadyMilliseconds() {
#ifdef _WIN32
    return static_cast<std::int64_t>(GetTickCount64());
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
#endif
}

// Claims every slot and removes the files of those in use, waiting for creations
// until one deadline for the whole table. Safe in a signal handler.
void removeEveryTemporary() {
    stopBegun.store(true);
    const std::int64_t deadline = steadyMilliseconds() + kStopWaitMilliseconds;
    for (Slot& slot : slots) {
        while (slot.state.load() == kCreating && steadyMilliseconds() < deadline) {
            sleepOneMillisecond();
        }
        const int state = slot.state.exchange(kClaimed);
        const NativeChar* name = slot.name.load();
        if ((state == kCreating || state == kCreated) && name != nullptr) {
            removeName(name);
        }
    }
}

#ifdef _WIN32
BOOL WINAPI stopOnControl(DWORD) {
    removeEveryTemporary();
    ExitProcess(STATUS_CONTROL_C_EXIT);  // as Windows' own handler ends it
}
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void stopOnSignal(int signal) {
    removeEveryTemporary();
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // end with the signal's usual status
}
#endif

}  // namespace

HeldName::HeldName(std::size_t slot, std::unique_ptr<NativeChar[]> name) : slot_(slot), name_(std::move(name)) {}

HeldName::HeldName(HeldName&& other) noexcept : slot_(other.slot_), name_(std::move(other.name_)) {}

std::optional<HeldName> HeldName::hold(const NativeName& name) {
    auto copy = std::make_unique<NativeChar[]>(name.size() + 1);
    name.copy(copy.get(), name.size());
    for (std::size_t slot = 0; slot < kTemporarySlots; ++slot) {
        int expected = kFree;
        if (slots[slot].state.compare_exchange_strong(expected, kCreating)) {
            slots[slot].name.store(copy.get());
            return HeldName(slot, std::move(copy));
        }
    }
    return std::nullopt;
}

void HeldName::created() {
    int expected = kCreating;
    slots[slot_].state.compare_exchange_strong(expected, kCreated);
}

HeldName::~HeldName() {
    if (!name_) return;  // moved from
    Slot& slot = slots[slot_];
    slot.name.store(nullptr);
    int state = slot.state.load();
    while (state != kClaimed && !slot.state.compare_exchange_weak(state, kFree)) {
    }
    if (state == kClaimed) {
        (void)name_.release();  // a stop may be reading it: left to the end of the program
    }
}

void removeTemporariesWhenStopped() {
#ifdef _WIN32
    SetConsoleCtrlHandler(stopOnControl, TRUE);
#else
    // A signal the run was started to ignore (nohup, a background job) stays ignored.
    for (const int signal : kStopSignals) {
        if (std::signal(signal, stopOnSignal) == SIG_IGN) {
            std::signal(signal, SIG_IGN);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

std::thread stopSafeThread(std::function<void()> body) {
#ifdef _WIN32
    return std::thread(std::move(body));  // Windows runs the control handler on a thread of its own
#else
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : kStopSignals) sigaddset(&stops, signal);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &stops, &before);  // the new thread starts with this mask
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return thread;
#endif
}

void waitIfStopping() {
    while (stopBegun.load()) {
        sleepOneMillisecond();  // until the stop ends the program
    }
}

void stopRemovingTemporaries(int status) {
    removeEveryTemporary();
    std::_Exit(status);
}

}  // namespace twoband
