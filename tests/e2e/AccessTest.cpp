#include "LinkFixture.h"
#include "OtherUser.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace YultTest {
namespace {

using PeerAccess = LinkFixture;

/// A process that is neither the target nor started by it, knocking before the application does:
/// another user's, or one of the target's own user (on a device, every application's). Several
/// connections knock while the agent is stopped, all waiting for it at once.
struct Intruder
{
    const char* name;
    uid_t uid;
    int connections;
    bool mapped; ///< through an IPv4-mapped IPv6 address
    bool held;   ///< held open, greeting the agent, until it closes them; or closed at once
};

/// Waits until `count` connections wait in the listen queue of the port.
bool awaitQueued(int port, int count)
{
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         listenQueue(port) < count && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(100us); // the kernel announces no connection
    }
    return listenQueue(port) >= count;
}

/// Counts the agent's verbose refusal lines that give `reason`.
int refusals(const std::string& out, const std::string& reason)
{
    int count = 0;
    const std::string lead = "YultService: doAccept - Refused connection from 127.0.0.1:";
    for (auto at = out.find(lead); at != std::string::npos; at = out.find(lead, at + 1)) {
        const auto end = out.find('\n', at);
        const auto colon = out.find(": ", at + lead.size());
        count += colon < end && out.compare(colon + 2, end - colon - 2, reason) == 0 ? 1 : 0;
    }
    return count;
}

/// Each intruder's connections, a thousand of the target's user among them, get no byte and are
/// refused within the wait for the application; the target's own connection, made after them all
/// and waiting behind the thousand, is served in the same run. Connections closed before the agent
/// takes them leave orphaned sockets that the kernel lists with no owning process (and uid 0).
TEST_F(PeerAccess, IntrudersClosedUnservedTargetServedAfter)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    // An agent under an emulator walks the TCP tables for each refusal, and a whole system on an
    // emulated CPU (YULT_EMULATED_CPU, as in the device VM) runs tens of times slower than this
    // machine: fewer of them there, within the same wait for the application.
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
            ASSERT_TRUE(awaitQueued(port, intruder.connections)) << intruder.name;
            ASSERT_TRUE(&intruder != std::end(intruders) - 1 || app.connectTo(port, true));
            ASSERT_TRUE(setStopped(agent->pid(), false));
        }
        EXPECT_EQ(peer.wait(), 0) << intruder.name;
    }
    EXPECT_EQ(app.handshake(), "start-profiling");
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_EQ(refusals(out, "not held by the target or a process it started"), 2 + thousand) << out;
    EXPECT_EQ(refusals(out, "no owning process (closed, orphaned)"), 2) << out;
    EXPECT_EQ(out.find("Accepted connection from ostrel application"),
              out.rfind("Accepted connection from ostrel application"))
        << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
}

// Root is no one's stand-in either: this process, root beside a separate target, connects first
// and gets no byte; the target, held stopped until then, connects after it and is served.
TEST_F(PeerAccess, RootProcessOtherThanTheTargetClosedUnserved)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the case is a root process";
    }
    Simulator target(registry, {});
    ASSERT_TRUE(target.ready()) << target.log();
    ASSERT_TRUE(setStopped(target.pid(), true));
    startAgent({"-C", "-S", "-V"}, target.pid());
    ASSERT_TRUE(connectOnceListening()) << agent->err();
    EXPECT_TRUE(app.closedUnanswered());
    ASSERT_TRUE(setStopped(target.pid(), false));
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_EQ(refusals(out, "not held by the target or a process it started"), 1) << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
    EXPECT_TRUE(target.alive());
}

// A process the target started is served in its place, whatever its user: here a grandchild of
// this process (the target), of another user, whose parent a second thread of the target started.
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

// The target runs as an unprivileged user, not dumpable, and connects as itself. An agent of root
// reads its descriptors all the same; an agent of that user cannot, so it serves the target's user
// under the owner rule, and -V says so. Such a target hides its threads' calls as well, so it has
// a handler for the signal.
TEST_F(PeerAccess, PeerOfTargetsUserServed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a target of another user needs root";
    }
    const std::string ownerRule = "YultService: doAccept - The target's descriptors cannot be read (Permission "
                                  "denied): serving any local process of the target's user, root or our own user\n";
    for (const bool asRoot : {true, false}) {
        SCOPED_TRACE(asRoot ? "an agent of root" : "an agent of the target's user");
        OtherUser target(nobody, [] {
            struct sigaction caught = {};
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
        std::vector<std::string> command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        command.resize(asRoot ? 0 : command.size());
        for (const auto& word : agentCommand({"-P", std::to_string(target.pid()), "-C", "-S", "-V"})) {
            command.push_back(word);
        }
        agent = std::make_unique<ChildProcess>(command, listing.environment());
        EXPECT_EQ(target.wait(), 0);
        EXPECT_EQ(agent->waitExit(), 0);
        const std::string out = agent->out();
        EXPECT_EQ(out.find(ownerRule) != std::string::npos, !asRoot) << out;
        EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
        EXPECT_EQ(agent->err(), "");
    }
}

} // namespace
} // namespace YultTest
