#include "link/TraceFile.h"

#include "Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace YultService::SocketCommunication {
namespace {

using Guard::TraceFileRule;
using YultPeer::readFile;
using YultPeer::TempDir;
using YultPeer::writeFile;

// What may stand at the path when the trace arrives: only a plain file of the trace's owner with
// one link is replaced; without a known owner nothing is.
TEST(TraceFile, OpensOnlyWhatItMayReplace)
{
    const TempDir dir;
    const std::string other = dir.path + "/other";
    const std::string kept = "kept as it was";
    using Plant = void (*)(const std::string& path, const std::string& other);
    const Plant nothing = [](const std::string&, const std::string&) {};
    const Plant file = [](const std::string& path, const std::string&) { writeFile(path, "kept as it was"); };
    const TraceFileRule::Owner self{geteuid(), getegid()}, stranger{65534, 65534};
    const struct
    {
        const char* name;
        Plant plant;
        std::optional<TraceFileRule::Owner> owner;
        bool opens;
    } cases[] = {
        {"nothing", nothing, self, true},
        {"earlier trace", file, self, true},
        {"symbolic link", [](const std::string& path, const std::string& to) { symlink(to.c_str(), path.c_str()); },
         self, false},
        {"hard link", [](const std::string& path, const std::string& to) { link(to.c_str(), path.c_str()); }, self,
         false},
        {"fifo", [](const std::string& path, const std::string&) { mkfifo(path.c_str(), 0644); }, self, false},
        {"directory", [](const std::string& path, const std::string&) { mkdir(path.c_str(), 0755); }, self, false},
        {"another owner's file", file, stranger, false},
        {"a file, no owner known", file, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(other, kept);
        const std::string path = dir.path + "/" + c.name;
        c.plant(path, other);
        TraceFile file(path, c.owner);
        EXPECT_EQ(file.isOpen(), c.opens);
        file.write("new", 3);
        EXPECT_EQ(file.close(), c.opens);
        EXPECT_EQ(readFile(other), kept);
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) {
            EXPECT_EQ(readFile(path), c.opens ? "new" : kept);
        }
    }
}

TEST(TraceFile, ManyWritesArriveWhole)
{
    const TempDir dir;
    std::string content;
    TraceFile file(dir.path + "/trace");
    for (int i = 0; i < 300; ++i) { // far beyond the buffer, in pieces that do not divide it
        const std::string piece(1000, static_cast<char>('a' + i % 26));
        file.write(piece.data(), piece.size());
        content += piece;
    }
    EXPECT_TRUE(file.close());
    EXPECT_EQ(readFile(dir.path + "/trace"), content);
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
