#include "guard/TargetProcess.h"
#include "guard/TraceFileRule.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <grp.h>
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

/// A child of the application's user (able to become root again, as set-user-ID can) that says it
/// is ready, then takes `step` when told and says so (or ends in it), and then waits to be killed.
struct Child
{
    explicit Child(void (*step)())
    {
        EXPECT_TRUE(pipe(toChild) == 0 && pipe(fromChild) == 0);
        pid = fork();
        if (pid == 0) {
            char go = 0;
            if (setresuid(65534, 65534, 0) == 0 && write(fromChild[1], &go, 1) == 1 && read(toChild[0], &go, 1) == 1) {
                step();
                (void)!write(fromChild[1], &go, 1);
            }
            for (;;) {
                pause();
            }
        }
        close(fromChild[1]); // the child's end alone: its exit ends a read
        char ready = 0;
        EXPECT_EQ(read(fromChild[0], &ready, 1), 1);
    }
    ~Child()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        for (const int fd : {toChild[0], toChild[1], fromChild[0]}) {
            close(fd);
        }
    }
    /// Lets the child take its step; true when it has, false when it ended instead.
    bool step()
    {
        char go = 1;
        return write(toChild[1], &go, 1) == 1 && read(fromChild[0], &go, 1) == 1;
    }
    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1};
    pid_t pid = -1;
};

// What a pinned target has become: the same process, one that ended (a zombie, or reaped), or one
// that runs with other ids. An ended target is not signalled, whatever now holds its pid. Its trace
// is written as its real user when it was pinned, and not at all once it has changed.
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
        EXPECT_EQ(TraceFileRule::ownerAtAnnouncement(target).owner.has_value(), c.change == Change::None);
        EXPECT_EQ(target.queueSignal(0, 0) == 0, !c.reap);
    }
}

// The agent's own user owns the trace when it is not root; without the target's ids, a root agent
// has no one to write as.
TEST(TraceFileRule, OwnerIsTheTargetsUserOnlyForRoot)
{
    const auto self = TargetProcess::pin(getpid());
    const auto asUser = TraceFileRule::traceOwner(self, 1000, 1001);
    ASSERT_TRUE(asUser);
    EXPECT_EQ(asUser->uid, 1000U);
    EXPECT_EQ(asUser->gid, 1001U);
    const auto gone = TargetProcess::pin(-1);
    EXPECT_FALSE(TraceFileRule::traceOwner(gone, 0, 0));
    EXPECT_TRUE(TraceFileRule::traceOwner(gone, 1000, 1000));
    EXPECT_FALSE(TraceFileRule::ownerAtAnnouncement(gone).owner);
    EXPECT_EQ(gone.queueSignal(0, 0), -1);
}

} // namespace
} // namespace YultService::Guard
