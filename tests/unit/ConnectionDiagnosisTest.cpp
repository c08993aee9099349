#include "link/ConnectionDiagnosis.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::SocketCommunication {
namespace {

using TargetState = Guard::TargetProcess::State;

const std::string none = "0000000000000000", usr1 = "0000000000000200", usr2 = "0000000000000800";

// A /proc/<pid>/status text as the kernel writes it (200 is SIGUSR1's bit), read as the agent reads it.
TargetState status(const std::string& state, const std::string& threads, const std::string& sigPnd,
                   const std::string& shdPnd, const std::string& sigBlk, const std::string& sigIgn)
{
    return Guard::TargetProcess::parseState("Name:\tapp\nUmask:\t0022\nState:\t" + state + "\nTgid:\t42\nThreads:\t" +
                                            threads + "\nSigQ:\t1/63448\nSigPnd:\t" + sigPnd + "\nShdPnd:\t" + shdPnd +
                                            "\nSigBlk:\t" + sigBlk + "\nSigIgn:\t" + sigIgn +
                                            "\nSigCgt:\t0000000000000000\n");
}

// The end-to-end tests play two causes; here are their order and the states they cannot play.
TEST(ConnectionDiagnosis, MostSpecificCauseOfWaitAndStatus)
{
    const std::string process = "the target process 42 ";
    const std::string stillPending = "SIGUSR1 is still pending in the target process 42, ";
    const std::string pending = stillPending + "which blocks it and does not take it (nobody listens for the "
                                               "profiler signal)";
    const std::string taken = process + "took SIGUSR1 but did not connect to port 9091 (its profiler may be off)";
    const std::string stopped = process + "is stopped and has not taken SIGUSR1";
    const std::string refused3 = "3 connections came and were refused, the last from 127.0.0.1:41002";
    const std::string ignores = process + "ignores SIGUSR1, so it never learned the port";
    const TargetState sleepingBlocked = status("S (sleeping)", "3", none, usr1, usr1, none);
    const TargetState denied = {TargetState::Unreadable, "Permission denied"};
    const WaitRecord failedAccept{2, "10.0.0.9:4000", "Too many open files"};
    const struct
    {
        WaitRecord seen;
        TargetState target;
        std::string line;
    } cases[] = {
        {failedAccept, sleepingBlocked, "accepting a connection failed: Too many open files"},
        {{1, "127.0.0.1:41000", ""}, sleepingBlocked, "1 connection came and was refused, from 127.0.0.1:41000"},
        {{3, "127.0.0.1:41002", ""}, {TargetState::Ended, ""}, refused3},
        {{}, status("Z (zombie)", "1", none, none, none, none), process + "has ended"},
        {{}, status("Z (zombie)", "2", none, usr1, usr1, none), pending}, // the leader gone, threads running
        {{}, denied, "the state of " + process + "cannot be read: Permission denied"},
        {{}, status("T (stopped)", "1", none, usr1, none, none), stopped},
        {{}, status("t (tracing stop)", "1", none, usr1, usr1, none), stopped},
        {{}, status("R (running)", "1", usr1, none, none, none), stillPending + "which has not run to take it"},
        {{}, status("S (sleeping)", "1", none, none, none, usr1), ignores},
        {{}, status("S (sleeping)", "1", none, usr2, usr1, usr2), taken},
        {{}, Guard::TargetProcess::parseState("Name:\tapp\nState:\tS (sleeping)\n"), taken},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConnectionDiagnosis::explain(c.seen, c.target, 42, 9091),
                  "checkDeadline() - No connection from the application: " + c.line);
    }
}

} // namespace
} // namespace YultService::SocketCommunication
