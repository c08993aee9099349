#include "LinkFixture.h"
#include "OtherUser.h"

#include <regex>
#include <sys/socket.h>
#include <sys/syscall.h>

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

/// Shuts the run's listening socket down from outside, through a copy of its descriptor: the
/// pending accept fails, and the run keeps every descriptor it may need to report it.
void shutListener(pid_t run)
{
    const int process = static_cast<int>(syscall(SYS_pidfd_open, run, 0));
    ASSERT_GE(process, 0);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(run) + "/fd")) {
        if (std::filesystem::read_symlink(fd).string().rfind("socket:", 0) == 0) {
            const int listener =
                static_cast<int>(syscall(SYS_pidfd_getfd, process, std::stoi(fd.path().filename()), 0));
            EXPECT_EQ(shutdown(listener, SHUT_RD), 0);
            close(listener);
        }
    }
    close(process);
}

struct Case
{
    const char* name;
    /// Starts both runs and plays the target's part; returns the verbose run's warn line (a pattern).
    std::function<std::string(Deadline&)> play;
    std::string err; ///< standard error of both runs
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
     },
     expired},
    {"ConnectionsRefused",
     [](Deadline& t) {
         for (const int port : {t.startTaken(false), t.startTaken(true)}) {
             for (const bool mapped : {false, true}) {
                 OtherUser peer(stranger, [port, mapped] {
                     AppPeer other;
                     return other.connectTo(port, mapped) && other.closedUnanswered() ? 0 : 1;
                 });
                 EXPECT_EQ(peer.wait(), 0);
             }
         }
         return std::string("2 connections came and were refused, the last from 127\\.0\\.0\\.1:[0-9]+");
     },
     expired, true},
    {"AcceptFailed",
     [](Deadline& t) {
         for (const bool verbose : {false, true}) {
             t.startTaken(verbose);
             t.runs[verbose]->waitIdle();
             shutListener(t.runs[verbose]->pid());
         }
         return std::string("accepting a connection failed: Invalid argument");
     },
     lines({"doAccept - Error accepting connection. error Message: Invalid argument"}) + expired},
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
    EXPECT_EQ(runs[false]->err(), c.err);
    EXPECT_EQ(runs[true]->waitExit(), 1);
    EXPECT_EQ(runs[true]->err(), c.err);
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
