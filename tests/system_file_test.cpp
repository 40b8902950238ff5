#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "files/system_file.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// A folder holding one of everything that can stand at a name.
struct Names {
    TempDir dir;
    const Bytes contents{1, 2, 3};
    Names() {
        writeFile(dir / "file", contents);
        fs::create_hard_link(dir / "file", dir / "hard link");
        fs::create_symlink("file", dir / "link");
        fs::create_symlink("nowhere", dir / "dangling");
        fs::create_directory(dir / "folder");
        fs::create_symlink("folder", dir / "folder link");
        mkfifo((dir / "fifo").c_str(), 0600);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }

    // What stands in the folder: each name's kind, and a file's bytes or a link's target.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> seen;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
            const fs::file_status status = fs::symlink_status(entry.path());
            std::string what = std::to_string(static_cast<int>(status.type())) + ":";
            if (fs::is_symlink(status)) what += fs::read_symlink(entry.path()).string();
            if (fs::is_regular_file(status)) {
                const Bytes bytes = readFile(entry.path());
                what.append(bytes.begin(), bytes.end());
            }
            seen[entry.path().filename().string()] = what;
        }
        return seen;
    }
};

// The result of `call`, which may open the FIFO `fifo`. A call still waiting after a
// second (for the FIFO's other end) fails the test, and is released by opening both
// ends, so that it fails at once instead of hanging.
template <typename Call>
auto withoutWaiting(const std::string& what, const std::string& fifo, Call call) {
    std::future result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
        ADD_FAILURE() << what << ": waits for the other end of a FIFO";
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        result.wait();
        close(reader);
        close(writer);
    }
    return result.get();
}

TEST(SystemFile, CreateNewNeverOpensWhatStandsAtTheName) {
    const Names names;
    const auto before = names.snapshot();
    struct Case {
        std::string name;
        std::errc expected;  // std::errc{} when the file is created
    };
    const Case cases[] = {
        {"file", std::errc::file_exists},
        {"hard link", std::errc::file_exists},
        {"link", std::errc::file_exists},
        {"dangling", std::errc::file_exists},  // its target is not created either
        {"folder", std::errc::file_exists},
        {"folder link", std::errc::file_exists},
        {"fifo", std::errc::file_exists},  // and no wait for a reader
        {"missing/new", std::errc::no_such_file_or_directory},
    };
    for (const Case& c : cases) {
        std::error_code error;
        const SystemFile file = withoutWaiting(c.name, names / "fifo", [&] {
            return SystemFile::createNew((names / c.name).c_str(), error);
        });
        EXPECT_FALSE(file) << c.name;
        EXPECT_EQ(error, std::make_error_code(c.expected)) << c.name;
        EXPECT_EQ(names.snapshot(), before) << c.name;
    }

    // A new name: an empty file with a plain create's mode (all of it, under no umask),
    // which can be removed by name while it is open and still takes what is written.
    const mode_t mask = umask(0);
    std::error_code error;
    SystemFile file = SystemFile::createNew((names / "new").c_str(), error);
    umask(mask);
    ASSERT_TRUE(file) << error.message();
    struct stat status {};
    ASSERT_EQ(lstat((names / "new").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_size, 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    removeName((names / "new").c_str());
    EXPECT_FALSE(nameExists(names / "new"));
    EXPECT_TRUE(file.writeAll(Bytes(10, 5), error)) << error.message();
    EXPECT_TRUE(file.close(error)) << error.message();
    EXPECT_EQ(names.snapshot(), before);
}

TEST(SystemFile, OpenForWritingOpensOnlyARegularFileAsItIs) {
    const Names names;
    const auto before = names.snapshot();
    struct Case {
        std::string name;
        std::errc expected;  // std::errc{} when it opens
    };
    const Case cases[] = {
        {"file", std::errc{}},
        {"hard link", std::errc{}},
        {"link", std::errc::too_many_symbolic_link_levels},  // never through a link
        {"dangling", std::errc::too_many_symbolic_link_levels},
        {"folder", std::errc::is_a_directory},
        {"fifo", std::errc::no_such_device_or_address},  // no reader: no wait for one
        {"missing", std::errc::no_such_file_or_directory},  // nothing created
    };
    for (const Case& c : cases) {
        std::error_code error;
        const SystemFile file = withoutWaiting(c.name, names / "fifo", [&] {
            return SystemFile::openForWriting(names / c.name, error);
        });
        EXPECT_EQ(static_cast<bool>(file), c.expected == std::errc{}) << c.name;
        EXPECT_EQ(error, c.expected == std::errc{} ? std::error_code{} : std::make_error_code(c.expected))
            << c.name << ": " << error.message();
        EXPECT_EQ(names.snapshot(), before) << c.name << ": opening changed nothing";
    }
}

TEST(SystemFile, NamesAreSeenAsThemselvesAndFilesByTheirIdentity) {
    const Names names;
    const auto identity = [&](const std::string& name) {
        return withoutWaiting(name, names / "fifo", [&] { return identityOf(names / name); });
    };
    const std::optional<FileIdentity> file = identity("file");
    const std::optional<FileIdentity> folder = identity("folder");
    const std::optional<FileIdentity> fifo = identity("fifo");
    ASSERT_TRUE(file && folder && fifo);
    EXPECT_NE(file, folder);
    EXPECT_NE(fifo, file);
    using Kind = NameStatus::Kind;
    struct Case {
        std::string name;
        Kind kind;                          // what stands at the name itself
        bool exists;
        std::optional<FileIdentity> leadsTo;  // through links
    };
    const Case cases[] = {
        {"file", Kind::regular, true, file},
        {"hard link", Kind::regular, true, file},
        {"link", Kind::other, true, file},
        {"dangling", Kind::other, true, std::nullopt},
        {"folder", Kind::directory, true, folder},
        {"folder link", Kind::other, true, folder},
        {"fifo", Kind::other, true, fifo},
        {"missing", Kind::missing, false, std::nullopt},
        {"missing/deeper", Kind::missing, false, std::nullopt},
    };
    for (const Case& c : cases) {
        std::error_code error;
        const std::optional<NameStatus> status = statusOfName(names / c.name, error);
        ASSERT_TRUE(status) << c.name << ": " << error.message();
        EXPECT_EQ(status->kind, c.kind) << c.name;
        EXPECT_EQ(nameExists(names / c.name), c.exists) << c.name;
        EXPECT_EQ(identity(c.name), c.leadsTo) << c.name;
    }
    // The mode of a regular file, as it is.
    fs::permissions(names.dir / "file", fs::perms::owner_read | fs::perms::group_read);
    std::error_code error;
    EXPECT_EQ(statusOfName(names / "file", error)->mode, 0440u);
}

TEST(SystemFile, ReadsFewerBytesOnlyWhereTheFileEnds) {
    const TempDir dir;
    Bytes contents(1000);
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<std::uint8_t>(i * 7);
    writeFile(dir / "file", contents);
    std::error_code error;
    const SystemFile file = SystemFile::openForReading((dir / "file").string(), error);
    ASSERT_TRUE(file);
    struct Case {
        std::uint64_t offset;
        std::size_t asked;
        std::size_t got;
    };
    const Case cases[] = {
        {0, 1000, 1000}, {0, 0, 0}, {996, 4, 4}, {996, 8, 4}, {999, 2, 1}, {1000, 4, 0}, {5000, 4, 0},
    };
    for (const Case& c : cases) {
        Bytes into(c.asked, 0xEE);
        const std::optional<std::size_t> got = file.readAt(c.offset, into, error);
        ASSERT_TRUE(got) << c.offset << ": " << error.message();
        EXPECT_EQ(*got, c.got) << c.offset << " + " << c.asked;
        const auto filled = static_cast<std::ptrdiff_t>(c.got);
        const auto at = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.offset, contents.size()));
        EXPECT_TRUE(std::equal(into.begin(), into.begin() + filled, contents.begin() + at)) << c.offset;
        EXPECT_TRUE(std::all_of(into.begin() + filled, into.end(), [](std::uint8_t byte) { return byte == 0xEE; }))
            << c.offset << ": nothing past the end";
    }
    const std::optional<SystemFile::Status> status = file.status(error);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->regular);
    EXPECT_FALSE(status->directory);
    EXPECT_EQ(status->size, 1000u);
}

}  // namespace
}  // namespace twoband
