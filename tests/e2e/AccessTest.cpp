#include "LinkFixture.h"
#include "OtherUser.h"

#include <functional>

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

/// Each intruder's connections, a thousand among them, get no byte and are refused within the wait
/// for the application; the target's own connection, made after them all, is served in the same
/// run. Connections closed before the agent takes them leave orphaned sockets that the kernel lists
/// with no owning process and uid 0: no one's, not root's.
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
    const auto closingAtOnce = [](int times) {
        return [times](int port) {
            bool connected = true;
            for (int i = 0; i < times; ++i) {
                AppPeer other;
                connected = other.connectTo(port) && connected;
                other.close();
            }
            return connected;
        };
    };
    const int thousand = agentEmulatedBy().empty() ? 1000 : 10;
    const Intruder intruders[] = {
        {"IPv4", greets(false), false},
        {"IPv6, IPv4-mapped", greets(true), false},
        {"closing at once, twice", closingAtOnce(2), true},
        // An agent under an emulator walks the TCP tables for each refusal: fewer of them there.
        {"closing at once, by the thousand", closingAtOnce(thousand), false},
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
    int refused = 0;
    for (auto at = out.find("doAccept - Refused connection from 127.0.0.1:"); at != std::string::npos;
         at = out.find("doAccept - Refused", at + 1)) {
        ++refused;
    }
    EXPECT_EQ(refused, 4 + thousand) << out;
    EXPECT_EQ(out.find("Accepted connection from ostrel application"),
              out.rfind("Accepted connection from ostrel application"))
        << out;
    EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
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
