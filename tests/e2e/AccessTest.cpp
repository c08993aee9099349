#include "LinkFixture.h"
#include "OtherUser.h"

namespace YultTest {
namespace {

using PeerAccess = LinkFixture;

// Peers of another user, over IPv4 and from an IPv6 socket through an IPv4-mapped address, get no
// byte and are closed; the target's own connection, made after them, is served in the same run.
TEST_F(PeerAccess, OtherUserClosedUnservedTargetServedAfter)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    startAgent({"-C", "-S", "-V"});
    const int port = app.awaitSignalValue();
    for (const bool mapped : {false, true}) {
        OtherUser peer(stranger, [port, mapped] {
            AppPeer other;
            other.connectTo(port, mapped);
            other.send("hello");
            return other.closedUnanswered() ? 0 : 1;
        });
        EXPECT_EQ(peer.wait(), 0) << (mapped ? "mapped" : "IPv4");
    }
    ASSERT_TRUE(app.connectTo(port, true));
    EXPECT_EQ(app.handshake(), "start-profiling");
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    const std::string out = agent->out();
    EXPECT_NE(out.find("YultService: doAccept - Refused connection from 127.0.0.1:"), std::string::npos) << out;
    EXPECT_EQ(out.find("Accepted connection from ostrel application"),
              out.rfind("Accepted connection from ostrel application")) << out;
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
