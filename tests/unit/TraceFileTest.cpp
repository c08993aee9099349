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

using YultPeer::readFile;
using YultPeer::TempDir;
using YultPeer::writeFile;

// What may stand at the path when the trace arrives; only a plain file of our own is replaced.
TEST(TraceFile, OpensOnlyWhatItMayReplace)
{
    const TempDir dir;
    const std::string other = dir.path + "/other";
    const std::string kept = "kept as it was";
    const struct
    {
        const char* name;
        void (*plant)(const std::string& path, const std::string& other);
        bool opens;
    } cases[] = {
        {"nothing", [](const std::string&, const std::string&) {}, true},
        {"earlier trace", [](const std::string& path, const std::string&) { writeFile(path, "older and longer"); },
         true},
        {"symbolic link", [](const std::string& path, const std::string& to) { symlink(to.c_str(), path.c_str()); },
         false},
        {"hard link", [](const std::string& path, const std::string& to) { link(to.c_str(), path.c_str()); }, false},
        {"another user's file",
         [](const std::string& path, const std::string&) {
             writeFile(path, "kept as it was");
             ASSERT_EQ(chown(path.c_str(), 65534, 65534) == 0, geteuid() == 0); // needs root; else our own
         },
         geteuid() != 0},
        {"fifo", [](const std::string& path, const std::string&) { mkfifo(path.c_str(), 0644); }, false},
        {"directory", [](const std::string& path, const std::string&) { mkdir(path.c_str(), 0755); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(other, kept);
        const std::string path = dir.path + "/" + c.name;
        c.plant(path, other);
        TraceFile file(path);
        EXPECT_EQ(file.isOpen(), c.opens);
        file.write("new", 3);
        EXPECT_EQ(file.close(), c.opens);
        EXPECT_EQ(readFile(other), kept);
        const bool plainFile = std::filesystem::is_regular_file(std::filesystem::symlink_status(path));
        if (plainFile) {
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
