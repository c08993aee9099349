#include "LinkFixture.h"
#include "OtherUser.h"

#include <algorithm>
#include <regex>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace YultTest {
namespace {

using PeerAccess = LinkFixture;

/// Neither the target nor started by it, knocking first; several knock while the agent is stopped.
struct Intruder
{
    const char* name;
    uid_t uid;
    int connections;
    bool mapped; ///< through an IPv4-mapped IPv6 address
    bool held;   ///< held open, greeting the agent, until it closes them; or closed at once
};

/// Counts the agent's verbose refusal lines that give `reason`.
long refusals(const std::string& out, const std::string& reason)
{
    const std::regex refusal("YultService: doAccept - Refused connection from 127\\.0\\.0\\.1:[0-9]+: ([^\n]*)\n");
    return std::count_if(std::sregex_iterator(out.begin(), out.end(), refusal), std::sregex_iterator(),
                         [&reason](const std::smatch& line) { return line[1] == reason; });
}

/// Intruders' connections, a thousand of the target's user among them, get no byte; the target's first is served.
TEST_F(PeerAccess, IntrudersClosedUnservedTargetServedAfter)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    // Fewer where each refusal is tens of times slower, within the same wait for the application.
    const int thousand = !agentEmulatedBy().empty() ? 10 : std::getenv("YULT_EMULATED_CPU") != nullptr ? 200 : 1000;
    const Intruder intruders[] = {
        {"another user, IPv4", stranger, 1, false, true},
        {"the target's user, IPv6, IPv4-mapped", geteuid(), 1, true, true},
        {"another user closing at once, twice", stranger, 2, false, false},
        {"the target's user holding them by the thousand", geteuid(), thousand, false, true},
    };
    const auto knock = [](const Intruder& intruder, int port) {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max; // a peer takes two descriptors
        setrlimit(RLIMIT_NOFILE, &files);
        std::vector<std::unique_ptr<AppPeer>> peers;
        bool unanswered = true;
        for (int i = 0; i < intruder.connections; ++i) {
            peers.push_back(std::make_unique<AppPeer>());
            unanswered = peers.back()->connectTo(port, intruder.mapped) && unanswered;
            intruder.held ? peers.back()->send("hello") : peers.back()->close();
        }
        for (const auto& peer : peers) {
            unanswered = (!intruder.held || peer->closedUnanswered()) && unanswered;
        }
        return unanswered ? 0 : 1;
    };
    startAgent({"-C", "-S", "-V"});
    const int port = app.awaitSignalValue();
    for (const auto& intruder : intruders) {
        const bool stopped = intruder.connections > 1;
        ASSERT_TRUE(!stopped || setStopped(agent->pid(), true));
        OtherUser peer(
            intruder.uid, [&] { return knock(intruder, port); }, OtherUser::Orphan);
        if (stopped) {
            ASSERT_TRUE(eventually([&] { return listenQueue(port) >= intruder.connections; })) << intruder.name;
            ASSERT_TRUE(&intruder != std::end(intruders) - 1 || app.connectTo(port, true));
            ASSERT_TRUE(setStopped(agent->pid(), false));
        }
        EXPECT_EQ(peer.wait(), 0) << intruder.name;
    }
    EXPECT_EQ(app.handshake(), "start-profiling");
    AppPeer late; // the target's own, after the served one: the agent takes no other
    ASSERT_TRUE(late.connectTo(port));
    late.sendSettled("hello", *agent);
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_TRUE(late.closedUnanswered());
    const std::string out = agent->out();
    EXPECT_EQ(refusals(out, "not held by the target or a process it started"), 2 + thousand) << out;
    EXPECT_EQ(refusals(out, "no owning process (closed, orphaned)"), 2) << out;
    EXPECT_EQ(out.find("Accepted connection from ostrel application"),
              out.rfind("Accepted connection from ostrel application"))
        << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
}

// Root is no one's stand-in: this process, beside a separate stopped target, connects first, unanswered.
TEST_F(PeerAccess, RootProcessOtherThanTheTargetClosedUnserved)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the case is a root process";
    }
    Simulator target(registry, {});
    ASSERT_TRUE(target.ready()) << target.log();
    ASSERT_TRUE(setStopped(target.pid(), true));
    startAgent({"-C", "-S", "-V"}, target.pid());
    // Once the agent listens on 9091 (the signal went to the target); it lives on while the target is stopped.
    ASSERT_TRUE(eventually([&] { return app.connectTo(9091) || !agent->alive(); }, 1ms) && agent->alive())
        << agent->err();
    EXPECT_TRUE(app.closedUnanswered());
    ASSERT_TRUE(setStopped(target.pid(), false));
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_EQ(refusals(out, "not held by the target or a process it started"), 1) << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
    EXPECT_TRUE(target.alive());
}

// A process the target started, of any user, is served: a grandchild started from a second thread.
TEST_F(PeerAccess, ProcessTheTargetStartedServed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a process of another user needs root";
    }
    startAgent({"-C", "-S"});
    const int port = app.awaitSignalValue();
    ASSERT_GT(port, 0) << agent->err();
    int status = -1;
    std::thread([&status, port] {
        OtherUser child(nobody, [port] {
            OtherUser grandchild(nobody, [port] {
                AppPeer started;
                const bool served = started.connectTo(port) && started.handshake() == "start-profiling";
                started.send("profiling-started");
                return served ? 0 : 1;
            });
            return grandchild.wait();
        });
        status = child.wait();
    }).join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), lines({"Profiling started"}));
    EXPECT_EQ(agent->err(), "");
}

// A target of another user: where its descriptors cannot be read, the owner rule serves it and -V says so.
TEST_F(PeerAccess, PeerOfTargetsUserServed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a target of another user needs root";
    }
    OtherUser target(nobody, [] {
        struct sigaction caught = {}; // a handler: it hides no call to read
        caught.sa_handler = [](int) {};
        sigaction(SIGUSR1, &caught, nullptr);
        AppPeer self;
        const int port = prctl(PR_SET_DUMPABLE, 0) == 0 ? self.awaitSignalValue() : -1;
        const bool served = port > 0 && self.connectTo(port) && self.handshake() == "start-profiling";
        self.send("profiling-started");
        return served ? 0 : 1;
    });
    const Registry listing; // of the target alone, whose liveness an agent of nobody can probe
    listing.add(target.pid());
    std::vector<std::string> command = agentCommand({"-P", std::to_string(target.pid()), "-C", "-S", "-V"});
    command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    agent = std::make_unique<ChildProcess>(command, listing.environment());
    EXPECT_EQ(target.wait(), 0);
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_NE(out.find("YultService: doAccept - The target's descriptors cannot be read (Permission denied): serving "
                       "any local process of the target's user, root or our own user\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
    EXPECT_EQ(agent->err(), "");
}

} // namespace
} // namespace YultTest
