#include "LinkFixture.h"
#include "OtherUser.h"

#include <regex>

namespace YultTest {
namespace {

const std::string expired =
    lines({"checkDeadline() - Closing connection since the deadline to complete operation has expired"});
using DeadlineDiagnosis = LinkFixture;

// Two runs meet the server deadline, one with -V and one without, each on a port of its own, as the
// target leaves the signal pending (blocked, never taken) or takes it and lets only another user's
// connections come. With -V the run says why no connection came, in its last line; without -V it
// prints exactly what it printed before it could say so.
TEST_F(DeadlineDiagnosis, WarnLineOnlyWithVerbose)
{
    const std::string pid = std::to_string(getpid());
    const struct
    {
        const char* name;
        bool refusing;    ///< the signal taken, two connections of another user refused
        std::string warn; ///< a pattern
    } cases[] = {
        {"signal still pending", false,
         "SIGUSR1 is still pending in the target process " + pid +
             ", which blocks it and does not take it \\(nobody listens for the profiler signal\\)"},
        {"connections refused", true, "2 connections came and were refused, the last from 127\\.0\\.0\\.1:[0-9]+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.refusing && geteuid() != 0) {
            GTEST_SKIP() << "connecting as another user needs root";
        }
        std::unique_ptr<ChildProcess> runs[2];
        for (const bool verbose : {false, true}) {
            startAgent(verbose ? std::vector<std::string>{"-C", "-S", "-D", "-V"}
                               : std::vector<std::string>{"-C", "-S", "-D"});
            runs[verbose] = std::move(agent);
            const int port = c.refusing ? app.awaitSignalValue() : 0;
            for (int mapped = 0; c.refusing && mapped < 2; ++mapped) {
                OtherUser peer(
                    stranger,
                    [port, mapped] {
                        AppPeer other;
                        return other.connectTo(port, mapped == 1) && other.closedUnanswered() ? 0 : 1;
                    },
                    OtherUser::Orphan);
                EXPECT_EQ(peer.wait(), 0);
            }
        }
        EXPECT_EQ(runs[false]->waitExit(), 1);
        EXPECT_EQ(runs[false]->out(), "");
        EXPECT_EQ(runs[false]->err(), expired);
        EXPECT_EQ(runs[true]->waitExit(), 1);
        EXPECT_EQ(runs[true]->err(), expired);
        const std::string out = runs[true]->out();
        ASSERT_GT(out.size(), 1u);
        const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1, out.npos);
        const std::string lead = "YultService: checkDeadline\\(\\) - No connection from the application: ";
        EXPECT_TRUE(std::regex_match(last, std::regex(lead + c.warn + "\n"))) << last;
        app.awaitSignalValue(0ms); // a signal left pending
    }
}

} // namespace
} // namespace YultTest
