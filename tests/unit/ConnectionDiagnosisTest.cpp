#include "link/ConnectionDiagnosis.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::SocketCommunication {
namespace {

// A /proc/<pid>/status text as the kernel writes it; 200 is SIGUSR1's bit in a mask.
std::string status(const std::string& state, const std::string& threads, const std::string& sigPnd,
                   const std::string& shdPnd, const std::string& sigBlk, const std::string& sigIgn)
{
    return "Name:\tapp\nUmask:\t0022\nState:\t" + state + "\nTgid:\t42\nThreads:\t" + threads +
           "\nSigQ:\t1/63448\nSigPnd:\t" + sigPnd + "\nShdPnd:\t" + shdPnd + "\nSigBlk:\t" + sigBlk +
           "\nSigIgn:\t" + sigIgn + "\nSigCgt:\t0000000000000000\n";
}

const std::string none = "0000000000000000", usr1 = "0000000000000200", usr2 = "0000000000000800";
const std::string lead = "checkDeadline() - No connection from the application: ";

TEST(ConnectionDiagnosis, MostSpecificCauseOfWaitAndStatus)
{
    const std::string sleeping = "S (sleeping)";
    const std::string pendingBlocked = status(sleeping, "3", none, usr1, usr1, none);
    const struct
    {
        const char* name;
        WaitRecord seen;
        std::string status; // empty: the process no longer exists
        std::string line;
    } cases[] = {
        {"accept failed, whatever came before", {2, "10.0.0.9:4000", "Too many open files"}, pendingBlocked,
         "accepting a connection failed: Too many open files"},
        {"one refused", {1, "127.0.0.1:41000", ""}, pendingBlocked,
         "1 connection came and was refused, from 127.0.0.1:41000"},
        {"refused ones counted, the last named", {3, "127.0.0.1:41002", ""}, "",
         "3 connections came and were refused, the last from 127.0.0.1:41002"},
        {"gone", {}, "", "the target process 42 has ended"},
        {"zombie", {}, status("Z (zombie)", "1", none, none, none, none), "the target process 42 has ended"},
        {"leader exited, threads run on", {}, status("Z (zombie)", "2", none, usr1, usr1, none),
         "SIGUSR1 is still pending in the target process 42, which blocks it and does not take it (nobody listens "
         "for the profiler signal)"},
        {"stopped", {}, status("T (stopped)", "1", none, usr1, none, none),
         "the target process 42 is stopped and has not taken SIGUSR1"},
        {"traced", {}, status("t (tracing stop)", "1", none, usr1, usr1, none),
         "the target process 42 is stopped and has not taken SIGUSR1"},
        {"pending in the shared queue", {}, pendingBlocked,
         "SIGUSR1 is still pending in the target process 42, which blocks it and does not take it (nobody listens "
         "for the profiler signal)"},
        {"pending for the main thread, unblocked", {}, status("R (running)", "1", usr1, none, none, none),
         "SIGUSR1 is still pending in the target process 42, which has not run to take it"},
        {"ignored", {}, status(sleeping, "1", none, none, none, usr1), "the target process 42 ignores SIGUSR1, so it "
                                                                         "never learned the port"},
        {"taken", {}, status(sleeping, "1", none, usr2, usr1, usr2),
         "the target process 42 took SIGUSR1 but did not connect to port 9091 (its profiler may be off)"},
        {"taken, status without the signal lines", {}, "Name:\tapp\nState:\tS (sleeping)\n",
         "the target process 42 took SIGUSR1 but did not connect to port 9091 (its profiler may be off)"},
    };
    for (const auto& c : cases) {
        TargetState target;
        target.presence = TargetState::Ended;
        if (!c.status.empty()) {
            target = ConnectionDiagnosis::parseStatus(c.status);
        }
        EXPECT_EQ(ConnectionDiagnosis::explain(c.seen, target, 42, 9091), lead + c.line) << c.name;
    }
}

TEST(ConnectionDiagnosis, TargetReadFromProc)
{
    TargetState unreadable;
    unreadable.presence = TargetState::Unreadable;
    unreadable.whyUnreadable = "Permission denied";
    EXPECT_EQ(ConnectionDiagnosis::explain({}, unreadable, 42, 9091),
              lead + "the state of the target process 42 cannot be read: Permission denied");
    EXPECT_EQ(ConnectionDiagnosis::readTarget(getpid()).presence, TargetState::Running);
    EXPECT_EQ(ConnectionDiagnosis::readTarget(getpid()).state, 'R');
    EXPECT_EQ(ConnectionDiagnosis::readTarget(-1).presence, TargetState::Ended);
}

} // namespace
} // namespace YultService::SocketCommunication
