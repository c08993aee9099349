#include "guard/TargetSignal.h"
#include "guard/TraceFileRule.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace YultService::Guard {
namespace {

unsigned long bit(int signal) { return 1UL << (signal - 1); }

TEST(TargetSignal, ProfilerSignalBitOfMaskLine)
{
    const std::string status = "Name:\tapp\nSigPnd:\t0000000000000000\nSigBlk:\t0000000000000200\n"
                               "SigIgn:\t0000000000001000\nSigCgt:\t0000000000000000";
    EXPECT_EQ(TargetSignal::profilerSignalInMask(status, "SigBlk:"), true); // bit 10 is SIGUSR1
    EXPECT_EQ(TargetSignal::profilerSignalInMask(status, "SigIgn:"), false);
    EXPECT_EQ(TargetSignal::profilerSignalInMask(status, "SigCgt:"), false); // the last line, without a newline
    EXPECT_EQ(TargetSignal::profilerSignalInMask(status, "ShdPnd:"), std::nullopt);
    EXPECT_EQ(TargetSignal::profilerSignalInMask("SigCgt:\tfffffffffffffdff\n", "SigCgt:"), false);
}

// A thread takes SIGUSR1 through a wait only when it waits for it: the set is read where the
// system call shows its address; where it cannot be read, any sign of a wait counts.
TEST(TargetSignal, WaitTakesTheSignalOnlyWhenItIsWaitedFor)
{
    const std::string call = std::to_string(SYS_rt_sigtimedwait) + " 0x7ffd10 0x7ffd20 0x0 0x8 0x0 0x0 0x7ffd0 0x4a1";
    const std::string sleeping = "do_sigtimedwait.isra.0";
    const std::string stack = "[<0>] do_sigtimedwait+0x156/0x1f0\n[<0>] __x64_sys_rt_sigtimedwait+0xc5/0x130\n";
    const std::optional<unsigned long> none;
    const struct
    {
        const char* name;
        std::string wchan, stack, syscall;
        std::optional<unsigned long> set; ///< the word at 0x7ffd10; none: unreadable
        bool takes;
    } cases[] = {
        {"waits for SIGUSR1", sleeping, "", call, bit(SIGUSR1), true},
        {"waits for SIGUSR1 among others", "", "", call, bit(SIGUSR1) | bit(SIGTERM) | bit(SIGHUP), true},
        {"waits for SIGUSR2 only", sleeping, "", call, bit(SIGUSR2), false},
        {"waits for SIGTERM and SIGHUP", sleeping, stack, call, bit(SIGTERM) | bit(SIGHUP), false},
        {"set unreadable", sleeping, "", call, none, true},
        {"woken, not run yet: the stack alone", "0", stack, "running", bit(SIGUSR2), true},
        {"wchan alone", sleeping, "", "", none, true},
        {"another call", "", "", "35 0x7ffd10 0x0", bit(SIGUSR1), false},
        {"running", "0", "", "running", bit(SIGUSR1), false},
        {"no set pointer shown", sleeping, "", std::to_string(SYS_rt_sigtimedwait) + " 0x0 0x0", bit(SIGUSR2), true},
        {"nothing read", "", "", "", bit(SIGUSR1), false},
    };
    for (const auto& c : cases) {
        std::uintptr_t asked = 0;
        const bool takes =
            TargetSignal::waitTakesProfilerSignal(c.wchan, c.stack, c.syscall, [&](std::uintptr_t address) {
                asked = address;
                return c.set;
            });
        EXPECT_EQ(takes, c.takes) << c.name;
        EXPECT_TRUE(asked == 0 || asked == 0x7ffd10) << c.name;
    }
}

TEST(TraceFileRule, OwnerIsTheTargetsUserOnlyForRoot)
{
    const auto self = TraceFileRule::traceOwner(getpid(), 0, 0);
    ASSERT_TRUE(self);
    EXPECT_EQ(self->uid, geteuid());
    EXPECT_EQ(self->gid, getegid());
    const auto asUser = TraceFileRule::traceOwner(getpid(), 1000, 1001);
    ASSERT_TRUE(asUser);
    EXPECT_EQ(asUser->uid, 1000U);
    EXPECT_EQ(asUser->gid, 1001U);
    EXPECT_FALSE(TraceFileRule::traceOwner(-1, 0, 0)); // a target gone: no owner to replace for
    EXPECT_TRUE(TraceFileRule::traceOwner(-1, 1000, 1000));
}

} // namespace
} // namespace YultService::Guard
