#include "LinkFixture.h"

#include <algorithm>
#include <filesystem>

namespace YultTest {
namespace {

/// A way an application takes the profiler signal, played by the simulator.
struct Way
{
    const char* name;
    std::vector<std::string> options;
    int runs;          ///< agent runs against the one target
    bool readsTheCall; ///< the agent must read the system call the target sleeps in
};

void PrintTo(const Way& w, std::ostream* os) { *os << w.name; }

class SignalWays : public LinkFixture, public ::testing::WithParamInterface<Way>
{
};

const char* const callsUnreadable = "an emulated agent reads system calls in the host's numbering";

// Each run is served, the target alive; the poller runs many times, as a one-look rule would refuse some.
TEST_P(SignalWays, SignalledAndServed)
{
    const Way& way = GetParam();
    if (way.readsTheCall && !agentEmulatedBy().empty()) {
        GTEST_SKIP() << callsUnreadable;
    }
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
    ::testing::Values(Way{"Handler", {"--signal", "handler"}, 2, false},
                      Way{"SignalfdWithSignalBlocked", {"--signal", "signalfd"}, 2, false},
                      Way{"SigwaitinfoInSecondThread", {"--signal", "sigwaitinfo"}, 2, true},
                      Way{"PollingSigtimedwaitBesideBusyThread", {"--signal", "sigtimedwait", "--busy"}, 40, true}),
    [](const auto& info) { return std::string(info.param.name); });

const char* const exposed = "is exposed: it neither blocks nor waits for SIGUSR1";

/// A target of tests/support/signal-target, and what the agent makes of it.
struct Target
{
    const char* mode;
    std::size_t threads; ///< live ones, once it has settled
    const char* refusal; ///< the -V line's reason; nullptr: served
};

void PrintTo(const Target& t, std::ostream* os) { *os << t.mode; }

class SignalTargets : public LinkFixture, public ::testing::WithParamInterface<Target>
{
};

/// Waits until the target has its live threads (and leader, or none) and is asleep in its call.
bool settled(pid_t pid, std::size_t threads, bool leaderExits)
{
    const auto leaderGone = [leader = "/proc/" + std::to_string(pid) + "/status"] {
        return readFile(leader).find("State:\tZ") != std::string::npos;
    };
    const auto live = [tasks = "/proc/" + std::to_string(pid) + "/task/"] {
        return static_cast<std::size_t>(
            std::count_if(std::filesystem::directory_iterator(tasks), {}, [](const auto& task) {
                return readFile(task.path() / "status").find("State:\tZ") == std::string::npos;
            }));
    };
    return eventually([&] { return live() == threads && leaderGone() == leaderExits; }, 1ms) && waitIdle(pid);
}

// A target that would die of the signal is refused and lives; a thread outliving the leader is served.
TEST_P(SignalTargets, RefusedAndLivesOrServed)
{
    if (!agentEmulatedBy().empty()) {
        GTEST_SKIP() << callsUnreadable;
    }
    const Target& target = GetParam();
    ChildProcess process({builtFile("signal-target"), target.mode});
    registry.add(process.pid());
    ASSERT_TRUE(settled(process.pid(), target.threads, std::string(target.mode) == "leader-exit")) << process.err();
    startAgent({"-C", "-S", "-V"}, process.pid());
    const std::string signalling =
        "Sending profiler signal to target process with pid " + std::to_string(process.pid()) + " on port 9091";
    if (target.refusal == nullptr) {
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->err(), "");
        EXPECT_NE(agent->out().find(lines({"Profiling started"})), std::string::npos) << agent->out();
    } else {
        EXPECT_EQ(agent->waitExit(), 1);
        EXPECT_EQ(agent->err(), lines({"Sending profiler signal to target failed: target does not handle SIGUSR1"}));
        const std::string out = agent->out();
        const auto named = std::min(out.find("thread "), out.size()) + 7;
        const std::string thread = out.substr(std::min(named, out.size()), out.find(' ', named) - named);
        EXPECT_TRUE(std::filesystem::exists("/proc/" + std::to_string(process.pid()) + "/task/" + thread)) << out;
        // Between its calls a call-mask target's thread has SIGUSR1 unblocked: a look there rightly finds it exposed.
        const auto said = [&](const std::string& why) {
            return out == lines({signalling, "Target not signalled: thread " + thread + " " + why});
        };
        EXPECT_TRUE(said(target.refusal) || said(exposed)) << out;
    }
    EXPECT_TRUE(process.alive());
}

INSTANTIATE_TEST_SUITE_P(Target, SignalTargets,
                         ::testing::Values(Target{"ppoll", 1, "was only seen in ppoll, a call with a mask of its own"},
                                           Target{"epoll-pwait", 1,
                                                  "was only seen in epoll_pwait, a call with a mask of its own"},
                                           Target{"unblocked-poll", 8, exposed}, Target{"leader-exit", 1, nullptr}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

} // namespace
} // namespace YultTest
