#include "LinkFixture.h"

namespace YultTest {
namespace {

using LinkTest = LinkFixture;

TEST_F(LinkTest, CpuStartConversation)
{
    EXPECT_EQ(connectAgent({"-C", "-S"}), 9091);
    EXPECT_EQ(handshake(), "start-profiling");
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling started\n");
    EXPECT_EQ(agent->err(), "");
}

} // namespace
} // namespace YultTest
