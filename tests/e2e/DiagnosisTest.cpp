#include "LinkFixture.h"
#include "OtherUser.h"

#include <regex>

namespace YultTest {
namespace {

const std::string expired =
    lines({"checkDeadline() - Closing connection since the deadline to complete operation has expired"});
const std::string lead = "YultService: checkDeadline\\(\\) - No connection from the application: ";
const std::string pid = std::to_string(getpid());

/// Two runs that meet the server deadline, one with -V and one without, each on a port of its own.
class Deadline : public LinkFixture
{
  public: // to the cases' plays
    void start(bool verbose)
    {
        startAgent(verbose ? std::vector<std::string>{"-C", "-S", "-D", "-V"}
                           : std::vector<std::string>{"-C", "-S", "-D"});
        runs[verbose] = std::move(agent);
    }
    /// Starts the run and takes its signal, as a target whose profiler is off; returns the port.
    int startTaken(bool verbose)
    {
        start(verbose);
        return app.awaitSignalValue();
    }

    std::unique_ptr<ChildProcess> runs[2];
};

struct Case
{
    const char* name;
    /// Starts both runs and plays the target's part; returns the verbose run's warn line (a pattern).
    std::function<std::string(Deadline&)> play;
    bool asOtherUser = false;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case cases[] = {
    {"SignalStillPending",
     [](Deadline& t) {
         t.start(false);
         t.start(true);
         return "SIGUSR1 is still pending in the target process " + pid +
                ", which blocks it and does not take it \\(nobody listens for the profiler signal\\)";
     }},
    {"ConnectionsRefused",
     [](Deadline& t) {
         for (const int port : {t.startTaken(false), t.startTaken(true)}) {
             for (const bool mapped : {false, true}) {
                 OtherUser peer(
                     stranger,
                     [port, mapped] {
                         AppPeer other;
                         return other.connectTo(port, mapped) && other.closedUnanswered() ? 0 : 1;
                     },
                     OtherUser::Orphan);
                 EXPECT_EQ(peer.wait(), 0);
             }
         }
         return std::string("2 connections came and were refused, the last from 127\\.0\\.0\\.1:[0-9]+");
     },
     true},
};

class DeadlineDiagnosis : public Deadline, public ::testing::WithParamInterface<Case>
{
};

// With -V the run says why no connection came, in its last line; without -V it prints exactly
// what it printed before it could say so.
TEST_P(DeadlineDiagnosis, WarnLineOnlyWithVerbose)
{
    const Case& c = GetParam();
    if (c.asOtherUser && geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    const std::string warn = c.play(*this);
    ASSERT_TRUE(runs[false] && runs[true]);
    EXPECT_EQ(runs[false]->waitExit(), 1);
    EXPECT_EQ(runs[false]->out(), "");
    EXPECT_EQ(runs[false]->err(), expired);
    EXPECT_EQ(runs[true]->waitExit(), 1);
    EXPECT_EQ(runs[true]->err(), expired);
    const std::string out = runs[true]->out();
    ASSERT_GT(out.size(), 1u);
    const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1, out.npos);
    EXPECT_TRUE(std::regex_match(last, std::regex(lead + warn + "\n"))) << last;
    app.awaitSignalValue(0ms); // a signal left pending
}

INSTANTIATE_TEST_SUITE_P(NoConnection, DeadlineDiagnosis, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace YultTest
