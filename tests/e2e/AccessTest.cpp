#include "LinkFixture.h"
#include "OtherUser.h"

#include <arpa/inet.h>
#include <functional>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace YultTest {
namespace {

using PeerAccess = LinkFixture;

/// A way another user's process may take the port before the application connects.
struct Intruder
{
    const char* name;
    std::function<bool(int port)> act; ///< true when it went as expected
    bool agentStopped;                 ///< acts while the agent is stopped, so its connections wait
};

/// Stops (or continues) the process and waits until /proc shows it stopped (or not).
bool setStopped(pid_t pid, bool stopped)
{
    kill(pid, stopped ? SIGSTOP : SIGCONT);
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    const auto isStopped = [&stat] {
        const std::string text = readFile(stat);
        const auto end = text.rfind(')');
        return end != std::string::npos && text.compare(end, 4, ") T ") == 0;
    };
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         isStopped() != stopped && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(100us); // only waitpid announces a stop, and ChildProcess reaps the agent
    }
    return isStopped() == stopped;
}

/// Each intruder's connections get no byte and are closed; the target's own connection, made
/// after them all, is served in the same run. Connections closed before the agent takes them leave
/// orphaned sockets that the kernel lists with no owning process and uid 0: no one's, not root's.
TEST_F(PeerAccess, OtherUserClosedUnservedTargetServedAfter)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    const auto greets = [](bool mapped) {
        return [mapped](int port) {
            AppPeer other;
            other.connectTo(port, mapped);
            other.send("hello");
            return other.closedUnanswered();
        };
    };
    const Intruder intruders[] = {
        {"IPv4", greets(false), false},
        {"IPv6, IPv4-mapped", greets(true), false},
        {"closing at once, twice",
         [](int port) {
             bool connected = true;
             for (int i = 0; i < 2; ++i) {
                 AppPeer other;
                 connected = other.connectTo(port) && connected;
                 other.close();
             }
             return connected;
         },
         true},
    };
    startAgent({"-C", "-S", "-V"});
    const int port = app.awaitSignalValue();
    for (const auto& intruder : intruders) {
        ASSERT_TRUE(!intruder.agentStopped || setStopped(agent->pid(), true));
        OtherUser peer(stranger, [&] { return intruder.act(port) ? 0 : 1; });
        EXPECT_EQ(peer.wait(), 0) << intruder.name;
        ASSERT_TRUE(!intruder.agentStopped || setStopped(agent->pid(), false));
    }
    ASSERT_TRUE(app.connectTo(port, true));
    EXPECT_EQ(app.handshake(), "start-profiling");
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_NE(out.find("YultService: doAccept - Refused connection from 127.0.0.1:"), std::string::npos) << out;
    EXPECT_EQ(out.find("Accepted connection from ostrel application"),
              out.rfind("Accepted connection from ostrel application"))
        << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
}

/// A pipe between the test and a child: the child reports, the test releases it by closing.
struct Handshake
{
    Handshake()
    {
        EXPECT_EQ(pipe(report), 0);
        EXPECT_EQ(pipe(release), 0);
    }
    ~Handshake()
    {
        for (const int fd : {report[0], report[1], release[0], release[1]}) {
            ::close(fd);
        }
    }
    /// In the child: tells the test, then waits (bounded) until the test lets go.
    int reportAndHold(int status)
    {
        ::close(release[1]); // the child's copy: the test's close must be the last
        const char done = 1;
        if (write(report[1], &done, 1) != 1) {
            return 4;
        }
        pollfd released{release[0], POLLIN, 0};
        poll(&released, 1, 60000);
        return status;
    }
    /// In the test: true when the child has reported within the bound.
    bool awaitReport()
    {
        pollfd reported{report[0], POLLIN, 0};
        char done = 0;
        return poll(&reported, 1, 30000) == 1 && read(report[0], &done, 1) == 1;
    }
    void letGo()
    {
        ::close(release[1]);
        release[1] = -1;
    }

    int report[2] = {-1, -1};
    int release[2] = {-1, -1};
};

// A thousand connections of another user, made after the signal and held open, are all refused
// within the wait for the application, which is then served.
TEST_F(PeerAccess, FloodOfHeldConnectionsRefusedTargetServed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    if (!agentEmulatedBy().empty()) {
        GTEST_SKIP() << "an agent under " << agentEmulatedBy() << " has no sock_diag and walks the TCP tables "
                     << "for each refusal, the cost this test bounds";
    }
    constexpr int flood = 1000;
    startAgent({"-C", "-S"});
    const int port = app.awaitSignalValue();
    Handshake held;
    OtherUser intruder(stranger, [&] {
        const rlimit files{flood + 64, flood + 64};
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) {
            return 2;
        }
        for (int i = 0; i < flood; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<std::uint16_t>(port));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) {
                return 3;
            }
        }
        return held.reportAndHold(0);
    });
    ASSERT_TRUE(held.awaitReport()) << "the connections were not made";
    EXPECT_TRUE(app.connectTo(port));
    EXPECT_EQ(app.handshake(), "start-profiling");
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), lines({"Profiling started"}));
    EXPECT_EQ(agent->err(), "");
    held.letGo();
    EXPECT_EQ(intruder.wait(), 0);
}

// Run as root for a target of another user, the agent writes as that user would: the name of
// root's file gets no trace, the application's own trace is created as the application's and,
// the second time, replaced. Here the target ignores the signal and this process (root) speaks
// for it on the default port.
TEST_F(PeerAccess, TraceWrittenOnlyWhereTheTargetsUserCouldWrite)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a target of another user needs root";
    }
    Handshake ignoring;
    OtherUser target(nobody, [&] {
        signal(SIGUSR1, SIG_IGN);
        return ignoring.reportAndHold(0);
    });
    ASSERT_TRUE(ignoring.awaitReport());
    registry.add(target.pid());
    const std::string tag = std::to_string(getpid());
    const std::string rootsFile = "/tmp/yult-guard-root-" + tag + ".log";
    const std::string trace = "/tmp/yult-guard-app-" + tag + ".json";
    writeFile(rootsFile, "root's own");
    const struct
    {
        const char* name;
        std::string path;
        std::string sent;
        bool stored;
        std::string content;
        uid_t owner;
    } runs[] = {
        {"root's file", rootsFile, "overwritten", false, "root's own", 0},
        {"the first trace", trace, "first", true, "first", nobody},
        {"the second trace", trace, "second", true, "second", nobody},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        startAgent({"-C", "-O"}, target.pid());
        ASSERT_TRUE(connectOnceListening()) << agent->err();
        EXPECT_EQ(app.handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        const std::string name = run.path.substr(5);
        app.send("profiler-trace-metadata:trace-filename:" + name +
                 "#trace-filesize:" + std::to_string(run.sent.size()));
        EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
        app.send(run.sent + marker);
        EXPECT_EQ(app.receiveUntilClosed(), run.stored ? "profiler-trace-file-received" : "");
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out().find("Profile trace dumped to : " + run.path) != std::string::npos, run.stored)
            << agent->out();
        EXPECT_EQ(readFile(run.path), run.content);
        struct stat info = {};
        EXPECT_EQ(lstat(run.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, run.owner);
        app.close();
    }
    std::filesystem::remove(rootsFile);
    std::filesystem::remove(trace);
    ignoring.letGo();
    EXPECT_EQ(target.wait(), 0);
}

// The target runs as an unprivileged user and connects as itself.
TEST_F(PeerAccess, PeerOfTargetsUserServed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a target of another user needs root";
    }
    OtherUser target(nobody, [] {
        AppPeer self;
        const int port = self.awaitSignalValue();
        const bool served = port > 0 && self.connectTo(port) && self.handshake() == "start-profiling";
        self.send("profiling-started");
        return served ? 0 : 1;
    });
    registry.add(target.pid());
    startAgent({"-C", "-S"}, target.pid());
    EXPECT_EQ(target.wait(), 0);
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), lines({"Profiling started"}));
    EXPECT_EQ(agent->err(), "");
}

} // namespace
} // namespace YultTest
