#include "link/TraceFile.h"

#include "Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace YultService::SocketCommunication {
namespace {

using Guard::TraceFileRule;
using YultPeer::readFile;
using YultPeer::TempDir;
using YultPeer::writeFile;

// Only a plain file of the trace's owner with one link is replaced, and made only where that owner may.
TEST(TraceFile, OpensOnlyWhatItMayReplace)
{
    const TempDir dir, shared;
    chmod(shared.path.c_str(), 01777);
    const std::string other = dir.path + "/other";
    const std::string kept = "kept as it was";
    using Plant = void (*)(const std::string& path, const std::string& other);
    const Plant nothing = [](const std::string&, const std::string&) {};
    const Plant file = [](const std::string& path, const std::string&) { writeFile(path, "kept as it was"); };
    const TraceFileRule::Owner self{geteuid(), getegid(), {}}, stranger{65534, 65534, {}};
    const bool root = geteuid() == 0;
    const struct
    {
        const char* name;
        const std::string& in;
        Plant plant;
        std::optional<TraceFileRule::Owner> owner;
        bool opens;
    } cases[] = {
        {"nothing", dir.path, nothing, self, true},
        {"earlier trace", dir.path, file, self, true},
        {"symbolic link", dir.path, [](const auto& at, const auto& to) { symlink(to.c_str(), at.c_str()); }, self,
         false},
        {"hard link", dir.path, [](const auto& at, const auto& to) { link(to.c_str(), at.c_str()); }, self, false},
        {"fifo", dir.path, [](const auto& at, const auto&) { mkfifo(at.c_str(), 0644); }, self, false},
        {"directory", dir.path, [](const auto& at, const auto&) { mkdir(at.c_str(), 0755); }, self, false},
        {"another owner's file", dir.path, file, stranger, false},
        {"a file, no owner known", dir.path, file, std::nullopt, false},
        {"nothing, in a directory only root may write", dir.path, nothing, stranger, !root},
        {"nothing, in a sticky directory", shared.path, nothing, stranger, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!root && c.owner && c.owner->uid != geteuid() && c.opens) {
            continue; // only root writes as another user
        }
        writeFile(other, kept);
        const std::string path = c.in + "/" + c.name;
        c.plant(path, other);
        TraceFile file(path, c.owner);
        EXPECT_EQ(file.isOpen(), c.opens);
        EXPECT_EQ(file.trouble().empty(), c.opens) << file.trouble();
        file.write("new", 3);
        EXPECT_EQ(file.close(), c.opens);
        EXPECT_EQ(readFile(other), kept);
        struct stat info = {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            EXPECT_EQ(readFile(path), c.opens ? "new" : kept);
            EXPECT_EQ(info.st_uid, c.opens ? c.owner->uid : geteuid());
        } else {
            EXPECT_TRUE(c.plant != nothing || !c.opens);
        }
        EXPECT_EQ(getuid(), static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)))); // our own identity back
    }
}

// A file size limit makes a real write fail, as a full disk would.
TEST(TraceFile, FailedWriteIsReported)
{
    const TempDir dir;
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    TraceFile file(dir.path + "/trace");
    const std::string piece(1024, 'x');
    for (int i = 0; i < 100; ++i) {
        file.write(piece.data(), piece.size());
    }
    const bool stored = file.close();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(stored);
}

} // namespace
} // namespace YultService::SocketCommunication
