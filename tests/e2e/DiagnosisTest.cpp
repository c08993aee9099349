#include "LinkFixture.h"
#include "OtherUser.h"

#include <regex>

namespace YultTest {
namespace {

using DeadlineDiagnosis = LinkFixture;

// Runs meeting the server deadline: with -V the last line says why.
TEST_F(DeadlineDiagnosis, VerboseLastLineSaysWhy)
{
    const struct
    {
        const char* name;
        bool refusing;    ///< the signal taken, two connections of another user refused
        std::string warn; ///< a pattern
    } cases[] = {
        {"signal still pending", false,
         "SIGUSR1 is still pending in the target process " + std::to_string(getpid()) +
             ", which blocks it and does not take it \\(nobody listens for the profiler signal\\)"},
        {"connections refused", true, "2 connections came and were refused, the last from 127\\.0\\.0\\.1:[0-9]+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.refusing && geteuid() != 0) {
            GTEST_SKIP() << "connecting as another user needs root";
        }
        const auto begun = std::chrono::steady_clock::now();
        startAgent({"-C", "-S", "-D", "-V"});
        const int port = c.refusing ? app.awaitSignalValue() : 0;
        for (const bool mapped : {false, true}) {
            const auto knock = [port, mapped] {
                AppPeer other;
                return other.connectTo(port, mapped) && other.closedUnanswered() ? 0 : 1;
            };
            EXPECT_TRUE(!c.refusing || OtherUser(stranger, knock, OtherUser::Orphan).wait() == 0);
        }
        EXPECT_EQ(agent->waitExit(), 1);
        EXPECT_GE(std::chrono::steady_clock::now() - begun, 5s); // 5 s from the listen: only ever longer
        EXPECT_EQ(agent->err(), expired);
        const std::string out = agent->out();
        ASSERT_GT(out.size(), 1u);
        const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1, out.npos);
        const std::string lead = "YultService: checkDeadline\\(\\) - No connection from the application: ";
        EXPECT_TRUE(std::regex_match(last, std::regex(lead + c.warn + "\n"))) << last;
        app.awaitSignalValue(0ms); // a signal left pending
    }
}

} // namespace
} // namespace YultTest
