#include "LinkFixture.h"

#include <sys/syscall.h>
#include <sys/wait.h>

namespace YultTest {
namespace {

/// A way an application takes the profiler signal, played by the simulator.
struct Way
{
    const char* name;
    std::vector<std::string> options;
    int runs; ///< agent runs against the one target
};

void PrintTo(const Way& w, std::ostream* os) { *os << w.name; }

class SignalWays : public LinkFixture, public ::testing::WithParamInterface<Way>
{
};

// Each run is signalled, served and leaves the target alive. A polling sigtimedwait beside a busy
// thread often shows the signal unblocked and no wait for a moment after each wake-up, so it is
// run many times: a rule that decides on one unlucky look refuses some of them.
TEST_P(SignalWays, SignalledAndServed)
{
    const Way& way = GetParam();
    Simulator target(registry, way.options);
    ASSERT_TRUE(target.ready()) << target.log();
    for (int run = 0; run < way.runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        startAgent({"-C", "-S"}, target.pid());
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->err(), "");
        EXPECT_EQ(agent->out(), run == 0 ? lines({"Profiling started"}) : ""); // then "already in progress"
    }
    EXPECT_TRUE(target.alive());
}

INSTANTIATE_TEST_SUITE_P(
    Target, SignalWays,
    ::testing::Values(Way{"Handler", {"--signal", "handler"}, 2},
                      Way{"SignalfdWithSignalBlocked", {"--signal", "signalfd"}, 2},
                      Way{"SigwaitinfoInSecondThread", {"--signal", "sigwaitinfo"}, 2},
                      Way{"PollingSigtimedwaitBesideBusyThread", {"--signal", "sigtimedwait", "--busy"}, 40}),
    [](const auto& info) { return std::string(info.param.name); });

using SignalTarget = LinkFixture;

// A target whose one thread waits for other signals only (SIGUSR1 left at its default action,
// not blocked) would die of the signal: it is refused and lives. Its wait is a forked child's
// sigtimedwait, seen asleep in /proc before the agent starts.
TEST_F(SignalTarget, WaitingOnlyForOtherSignalsRefusedAndLives)
{
    if (!agentEmulatedBy().empty()) {
        GTEST_SKIP() << "an agent under " << agentEmulatedBy() << " cannot read the waited-for set: /proc shows "
                     << "this process's system calls in the host's numbering";
    }
    const std::vector<std::vector<int>> waits = {{SIGUSR2}, {SIGTERM, SIGHUP}};
    for (const auto& waited : waits) {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : waited) {
            sigaddset(&set, signal);
        }
        const pid_t child = fork();
        if (child == 0) {
            sigprocmask(SIG_SETMASK, &set, nullptr);
            const timespec limit{60, 0};
            sigtimedwait(&set, nullptr, &limit);
            _exit(0);
        }
        SCOPED_TRACE("waits for " + std::to_string(waited.size()) + " other signals");
        const std::string syscall = "/proc/" + std::to_string(child) + "/syscall";
        const std::string asleep = std::to_string(SYS_rt_sigtimedwait) + " ";
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             readFile(syscall).rfind(asleep, 0) != 0 && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(1ms); // a process announces no wait
        }
        registry.add(child);
        startAgent({"-C", "-S"}, child);
        EXPECT_EQ(agent->waitExit(), 1);
        EXPECT_EQ(agent->err(), lines({"Sending profiler signal to target failed: target does not handle SIGUSR1"}));
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the target died";
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
}

} // namespace
} // namespace YultTest
