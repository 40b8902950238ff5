#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/temporary_files.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

struct Stopped {
    int status = -1;  // the exit status, or -1 - the signal that ended it
    milliseconds took{};
};

// Runs `prepare` in a child process, which then stops: with `signal`, as a stop signal
// does, or else from no signal. Waits at most `limit` for the end (and kills it there),
// so that a stop that hangs fails at once.
Stopped stopInAChild(const std::function<void()>& prepare, int signal, milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        prepare();
        if (signal != 0) {
            std::signal(signal, SIG_DFL);  // as from a shell, even under a harness that ignores it
            removeTemporariesWhenStopped();
            std::raise(signal);
        } else {
            stopRemovingTemporaries(7);
        }
        _exit(99);  // not stopped
    }
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > limit) {
            kill(child, SIGKILL);
            waitpid(child, &waitStatus, 0);
            ADD_FAILURE() << "the stop still ran after " << limit.count() << " ms";
            break;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    return {WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1 - WTERMSIG(waitStatus), took};
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(TemporaryFiles, AStopRemovesEveryFileInFlightAndEndsPromptly) {
    constexpr auto kWait = milliseconds(kStopWaitMilliseconds);
    constexpr int kEvery = static_cast<int>(kTemporarySlots);
    struct Case {
        const char* what;
        int created;    // files created and marked so
        int unmarked;   // files created, the mark not yet given
        int creating;   // names taken, no file yet
        bool late;      // one of those gets its file while the stop waits, from elsewhere
        int kept;       // files renamed to their own names, slots given back
        int signal;     // 0: a stop that comes from no signal
        milliseconds longest;
    };
    const Case cases[] = {
        {"files created", 3, 0, 0, false, 2, 0, kWait / 2},  // nothing to wait for
        {"files created, SIGTERM", 3, 0, 0, false, 2, SIGTERM, kWait / 2},
        {"files created, SIGHUP", 1, 0, 0, false, 0, SIGHUP, kWait / 2},
        {"files not yet marked created", 1, 3, 0, false, 1, 0, kWait * 3},
        {"a file made while the stop waits", 0, 0, 1, true, 0, 0, kWait * 3},
        {"every slot stuck creating", 0, 0, kEvery, false, 0, 0, kWait * 3},
        {"every slot stuck creating, SIGINT", 0, 0, kEvery, false, 0, SIGINT, kWait * 3},
    };
    for (const Case& c : cases) {
        const TempDir dir;
        const fs::path late = dir / "late";  // where the late creator says it is done
        const auto prepare = [&] {
            // Held to the end of the child, which the stop brings.
            std::vector<HeldName>& held = *new std::vector<HeldName>;
            held.reserve(kTemporarySlots);
            const auto named = [&](const std::string& name) { return nativeName((dir / name).string()); };
            int number = 0;
            const auto hold = [&] {
                std::optional<HeldName> name = HeldName::hold(named(".C" + std::to_string(number++)));
                if (!name) _exit(98);
                held.push_back(std::move(*name));
                return held.back().name();
            };
            const auto create = [](const char* name) {
                std::error_code error;
                if (!SystemFile::createNew(name, error)) _exit(97);
            };
            for (int i = 0; i < c.kept; ++i) {
                std::optional<HeldName> name = HeldName::hold(named(".Ckept" + std::to_string(i)));
                create(name->name());
                name->created();
                std::error_code error;
                renameOver(name->name(), (dir / ("kept" + std::to_string(i))).string(), error);
            }
            for (int i = 0; i < c.created; ++i) {
                const char* name = hold();
                create(name);
                held.back().created();
            }
            for (int i = 0; i < c.unmarked; ++i) create(hold());
            for (int i = 0; i < c.creating; ++i) {
                const char* name = hold();
                // A creation that completes after the stop has begun (another process
                // here, the kernel's own work in a run): the stop must still see it.
                if (c.late && i == 0 && fork() == 0) {
                    std::this_thread::sleep_for(kWait / 5);
                    close(open(name, O_WRONLY | O_CREAT | O_EXCL, 0600));
                    close(open(late.c_str(), O_WRONLY | O_CREAT, 0600));
                    _exit(0);
                }
            }
        };
        const Stopped stopped = stopInAChild(prepare, c.signal, kWait * 6);

        EXPECT_EQ(stopped.status, c.signal != 0 ? -1 - c.signal : 7) << c.what;
        EXPECT_LT(stopped.took, c.longest) << c.what;
        if (c.late) {
            for (int waited = 0; waited < 2000 && !fs::exists(late); ++waited) {
                std::this_thread::sleep_for(milliseconds(1));
            }
            EXPECT_TRUE(fs::exists(late)) << c.what;
            fs::remove(late);
        }
        std::vector<std::string> kept;
        for (int i = 0; i < c.kept; ++i) kept.push_back("kept" + std::to_string(i));
        EXPECT_EQ(namesIn(dir.path()), kept) << c.what;
    }
}

TEST(TemporaryFiles, EverySlotCanBeHeldAndIsGivenBack) {
    // More names than slots, one after another: each name gives its slot back.
    for (std::size_t i = 0; i < 2 * kTemporarySlots; ++i) {
        const std::optional<HeldName> name = HeldName::hold(nativeName("one after another"));
        ASSERT_TRUE(name) << i;
    }
    // All of them at once, and then no more.
    std::vector<HeldName> held;
    for (std::size_t i = 0; i < kTemporarySlots; ++i) {
        std::optional<HeldName> name = HeldName::hold(nativeName("at once " + std::to_string(i)));
        ASSERT_TRUE(name) << i;
        held.push_back(std::move(*name));
    }
    EXPECT_FALSE(HeldName::hold(nativeName("one more")));
    held.pop_back();
    EXPECT_TRUE(HeldName::hold(nativeName("one more")));
    // A moved name holds its slot as the original did: one slot is free, not two.
    HeldName moved(std::move(held.back()));
    held.pop_back();
    const std::optional<HeldName> last = HeldName::hold(nativeName("the last"));
    EXPECT_TRUE(last);
    EXPECT_FALSE(HeldName::hold(nativeName("past the last")));
    EXPECT_STREQ(moved.name(), ("at once " + std::to_string(kTemporarySlots - 2)).c_str());
}

}  // namespace
}  // namespace twoband
