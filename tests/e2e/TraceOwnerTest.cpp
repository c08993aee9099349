#include "LinkFixture.h"
#include "OtherUser.h"

#include <optional>
#include <sys/socket.h>

namespace YultTest {
namespace {

/// The application as another user, handing over each run's connection; told to, it runs the set-user-ID `turn`.
class HandingTarget
{
  public:
    HandingTarget(uid_t uid, const std::string& turn)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
        user.emplace(uid, [via = link[1], turn] {
            for (char order = 'n'; order == 'n';) {
                AppPeer self;
                const int port = self.awaitSignalValue();
                if (port <= 0 || !self.connectTo(port) || !self.handOver(via) || read(via, &order, 1) != 1) {
                    return 1;
                }
            }
            execl(turn.c_str(), turn.c_str(), "60", nullptr);
            return 2;
        });
        ::close(link[1]);
    }
    ~HandingTarget()
    {
        kill(user->pid(), SIGKILL);
        user->wait();
        ::close(link[0]);
    }
    pid_t pid() const { return user->pid(); }
    /// The connection the target made for this run.
    bool takeConnection(AppPeer& app) { return app.takeOver(link[0]); }
    /// Lets the target wait for the next run, or run the set-user-ID program and returns once it has.
    bool next(bool turn)
    {
        const char order = turn ? 't' : 'n';
        char ignored = 0;
        return write(link[0], &order, 1) == 1 && (!turn || read(link[0], &ignored, 1) == 0);
    }

  private:
    int link[2] = {-1, -1};
    std::optional<OtherUser> user;
};

using TraceOwner = LinkFixture;

// A root agent writes as the target's user, and only while the target is still that user.
TEST_F(TraceOwner, WrittenOnlyAsTheTargetsUserWhileItIsThatUser)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a target of another user needs root";
    }
    const TempDir programs;
    const std::string asRoot = programs.path + "/sleep-as-root";
    std::filesystem::copy_file("/bin/sleep", asRoot);
    ASSERT_EQ(chmod(asRoot.c_str(), 04755), 0);
    HandingTarget target(nobody, asRoot);
    registry.add(target.pid());
    const std::string tag = std::to_string(getpid());
    const std::string rootsFile = "/tmp/yult-owner-root-" + tag + ".log";
    const std::string trace = "/tmp/yult-owner-app-" + tag + ".json";
    writeFile(rootsFile, "root's own");
    const std::string changed = "runs with other user or group ids than when it was looked up";
    const std::string failed =
        lines({"Error receiving and processing CPU trace file"}) + "YultService: Trace file path: ";
    const struct
    {
        const char* name;
        bool turnsRoot;
        std::string path, sent, content; ///< the file, the bytes sent, the file's content afterwards
        uid_t owner;
        std::string refusal; // empty: stored
    } runs[] = {
        {"root's file", false, rootsFile, "overwritten", "root's own", 0, "it belongs to user 0, not 65534"},
        {"the first trace", false, trace, "first", "first", nobody, ""},
        {"the second trace", false, trace, "second", "second", nobody, ""},
        {"root's file, turned root", true, rootsFile, "overwritten", "root's own", 0, changed},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        startAgent({"-C", "-O", "-V"}, target.pid());
        ASSERT_TRUE(target.takeConnection(app)) << agent->err();
        EXPECT_EQ(app.handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        ASSERT_TRUE(target.next(run.turnsRoot));
        app.send("profiler-trace-metadata:trace-filename:" + run.path.substr(5) +
                 "#trace-filesize:" + std::to_string(run.sent.size()));
        EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
        app.send(run.sent + marker);
        EXPECT_EQ(app.receiveUntilClosed(), run.refusal.empty() ? "profiler-trace-file-received" : "");
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->err(), run.refusal.empty() ? "" : failed + run.path + "\n");
        const std::string out = agent->out();
        EXPECT_EQ(out.find("Profile trace dumped to : " + run.path) != std::string::npos, run.refusal.empty()) << out;
        const auto refusal = out.find("readCPUTraceFileData - Trace file not stored: ");
        EXPECT_EQ(refusal == std::string::npos, run.refusal.empty()) << out;
        EXPECT_TRUE(run.refusal.empty() || out.find(run.refusal, refusal) != std::string::npos) << out;
        EXPECT_EQ(readFile(run.path), run.content);
        struct stat info = {};
        EXPECT_EQ(lstat(run.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, run.owner);
        app.close();
    }
    std::filesystem::remove(rootsFile);
    std::filesystem::remove(trace);
}

} // namespace
} // namespace YultTest
