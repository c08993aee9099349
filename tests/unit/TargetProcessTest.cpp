#include "guard/TargetProcess.h"
#include "guard/TraceFileRule.h"

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace YultService::Guard {
namespace {

using Change = TargetProcess::Change;

// The name field may hold blanks and parentheses: fields count from its last ')'.
TEST(TargetProcess, StatFieldsAfterTheName)
{
    const std::string tail = " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 123456 20 21\n";
    EXPECT_EQ(TargetProcess::startTimeOf("42 (app) S" + tail), 123456ULL);
    EXPECT_EQ(TargetProcess::startTimeOf("42 (a) S 1 (b) R" + tail), 123456ULL);
    EXPECT_EQ(TargetProcess::stateOf("42 (a) S 1 (b) Z" + tail), 'Z');
    EXPECT_FALSE(TargetProcess::startTimeOf("42 (app) S 1 2 3"));
    EXPECT_FALSE(TargetProcess::startTimeOf("42 app S" + tail));
}

// A status without the mask lines leaves the signal's action unknown: that target is signalled, not looked at.
TEST(TargetProcess, ActionUnknownWithoutMaskLines)
{
    EXPECT_EQ(TargetProcess::parseState("Name:\tapp\nState:\tS (sleeping)\n").profilerSignal,
              TargetProcess::State::Action::Unknown);
}

/// A child of the application's user (able to become root again) that takes `step` when told.
struct Child
{
    explicit Child(void (*step)())
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, link), 0);
        pid = fork();
        if (pid == 0) {
            char go = 0;
            if (setresuid(65534, 65534, 0) == 0 && write(link[1], &go, 1) == 1 && read(link[1], &go, 1) == 1) {
                step();
                (void)!write(link[1], &go, 1);
            }
            for (;;) {
                pause();
            }
        }
        close(link[1]); // the child's end alone: its exit ends a read
        char ready = 0;
        EXPECT_EQ(read(link[0], &ready, 1), 1);
    }
    ~Child()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(link[0]);
    }
    /// Lets the child take its step; true when it has, false when it ended instead.
    bool step()
    {
        char go = 1;
        return write(link[0], &go, 1) == 1 && read(link[0], &go, 1) == 1;
    }
    int link[2] = {-1, -1};
    pid_t pid = -1;
};

// A pinned target unchanged, ended or with other ids: its trace is written as its user only while unchanged.
TEST(TargetProcess, ChangeSincePinned)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "changing a process's ids needs root";
    }
    const struct
    {
        const char* name;
        void (*step)();
        bool reap;
        Change change;
    } cases[] = {
        {"unchanged", [] {}, false, Change::None},
        {"zombie", [] { _exit(0); }, false, Change::Ended},
        {"reaped", [] { _exit(0); }, true, Change::Ended},
        {"turned root", [] { (void)!seteuid(0); }, false, Change::CredentialsChanged},
        {"other groups",
         [] {
             const gid_t group = 4321;
             (void)!seteuid(0);
             (void)!setgroups(1, &group);
             (void)!seteuid(65534);
         },
         false, Change::CredentialsChanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Child child(c.step);
        const auto target = TargetProcess::pin(child.pid);
        const auto owner = TraceFileRule::traceOwner(target, 0, 0);
        ASSERT_TRUE(owner);
        EXPECT_EQ(owner->uid, 65534U);
        EXPECT_EQ(target.changeSincePinned(), Change::None);
        EXPECT_EQ(child.step(), c.change != Change::Ended);
        siginfo_t info{};
        if (c.change == Change::Ended) { // a zombie once waitid sees it, still unreaped
            EXPECT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT), 0);
        }
        if (c.reap) {
            EXPECT_EQ(waitpid(child.pid, nullptr, 0), child.pid);
        }
        EXPECT_EQ(target.changeSincePinned(), c.change);
        EXPECT_EQ(target.currentState().presence == TargetProcess::State::Ended, c.change == Change::Ended);
        EXPECT_EQ(TraceFileRule::ownerAtAnnouncement(target).owner.has_value(), c.change == Change::None);
        EXPECT_EQ(target.queueSignal(0, 0) == 0, !c.reap);
    }
}

} // namespace
} // namespace YultService::Guard
