#include "guard/TargetSignal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/syscall.h>

#include <string>

namespace YultService::Guard {
namespace {

using Look = TargetSignal::Look;
using ThreadLook = TargetSignal::ThreadLook;

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

std::string status(const char* state, bool blocked)
{
    return std::string("Name:\tapp\nState:\t") + state + "\nTgid:\t7\nSigPnd:\t0000000000000000\nSigBlk:\t" +
           (blocked ? "0000000000000200" : "0000000000004000") + "\nSigIgn:\t0000000000000000\n";
}

// A /proc syscall line of a thread asleep in call `number` with these arguments.
std::string asleep(long number, std::initializer_list<std::uint64_t> arguments)
{
    std::string line = std::to_string(number);
    for (std::size_t i = 0; i < 6; ++i) {
        char field[24];
        std::snprintf(field, sizeof(field), " 0x%llx",
                      static_cast<unsigned long long>(i < arguments.size() ? arguments.begin()[i] : 0));
        line += field;
    }
    return line + " 0x7ffd10 0x4a1f2c\n";
}

// The target's memory as the look reads it; any other address cannot be read.
const std::map<std::uintptr_t, std::uint64_t> memory = {
    {0x1000, 1UL << (SIGUSR1 - 1) | 1UL << (SIGTERM - 1)}, // a set holding SIGUSR1
    {0x2000, 1UL << (SIGUSR2 - 1)},                        // a set without it
    {0x3000, 0},                                           // pselect6's pair, or io_uring's struct, without a mask
    {0x4000, 0x2000},                                      // ... with one
};

std::optional<std::uint64_t> readMemory(std::uintptr_t address, std::size_t)
{
    const auto found = memory.find(address);
    return found != memory.end() ? std::optional<std::uint64_t>(found->second) : std::nullopt;
}

// What each kind of look says of SIGUSR1, the calls with the argument positions that carry their
// masks included: a NULL mask (arm64's poll, select and epoll_wait) leaves the thread's own.
TEST(TargetSignal, LookAtAThread)
{
    const std::string sleeping = status("S (sleeping)", false);
    const std::string sleepingBlocked = status("S (sleeping)", true);
    const std::string stopped = status("T (stopped)", false);
    const std::string running = "running\n";
    const std::string ppollWithMask = asleep(SYS_ppoll, {0, 0, 0x7ffe00, 0x2000, 8});
    const std::string sigwait = asleep(SYS_rt_sigtimedwait, {0x1000, 0, 0x7ffe00, 8});
    const std::string stackInWait = "[<0>] do_sigtimedwait+0x181/0x230\n[<0>] __x64_sys_rt_sigtimedwait+0xbc/0x120\n";
    const std::string stackInPpoll = "[<0>] do_sys_poll+0x43e/0x5d0\n[<0>] __arm64_sys_ppoll+0xdf/0x190\n";
    const std::optional<std::string> none;
    const unsigned long extended = 1U << 3;
    const unsigned long registered = 1U << 5;
    const struct
    {
        const char* name;
        std::optional<std::string> status, syscall;
        const char* movedTo; ///< the second read of the syscall file, when it differs from the first
        std::optional<std::string> stack, wchan;
        Look look;
        const char* call;
    } cases[] = {
        {"running, blocked", sleepingBlocked, running, nullptr, none, none, Look::Blocked, ""},
        {"running, exposed", sleeping, running, nullptr, none, none, Look::Exposed, ""},
        {"zombie leader", status("Z (zombie)", false), none, nullptr, none, none, Look::Gone, ""},
        {"no status: gone", none, running, nullptr, none, none, Look::Gone, ""},
        {"another call", sleeping, asleep(SYS_clock_nanosleep, {0, 0, 0x7ffe00}), nullptr, none, none, Look::Exposed,
         ""},
        {"ppoll, NULL mask", sleepingBlocked, asleep(SYS_ppoll, {0x7ffe00, 1, 0, 0, 8}), nullptr, none, none,
         Look::Blocked, ""},
        {"ppoll, mask", sleepingBlocked, ppollWithMask, nullptr, none, none, Look::InOwnMaskCall, "ppoll"},
        {"ppoll, mask letting it through", sleeping, ppollWithMask, nullptr, none, none, Look::ExposedInCall, "ppoll"},
        {"ppoll left between reads", sleeping, ppollWithMask, "running\n", none, none, Look::Exposed, "ppoll"},
        {"ppoll, stopped", status("T (stopped)", true), ppollWithMask, nullptr, none, none, Look::InOwnMaskCall,
         "ppoll"},
        {"pselect6, NULL pair", sleepingBlocked, asleep(SYS_pselect6, {1, 0x7ffe00, 0, 0, 0, 0}), nullptr, none, none,
         Look::Blocked, ""},
        {"pselect6, pair without mask", sleepingBlocked, asleep(SYS_pselect6, {1, 0x7ffe00, 0, 0, 0, 0x3000}), nullptr,
         none, none, Look::Blocked, ""},
        {"pselect6, pair with mask", sleepingBlocked, asleep(SYS_pselect6, {1, 0x7ffe00, 0, 0, 0, 0x4000}), nullptr,
         none, none, Look::InOwnMaskCall, "pselect6"},
        {"pselect6, pair unreadable", sleepingBlocked, asleep(SYS_pselect6, {1, 0x7ffe00, 0, 0, 0, 0x9000}), nullptr,
         none, none, Look::InOwnMaskCall, "pselect6"},
        {"epoll_pwait, NULL mask", sleepingBlocked, asleep(SYS_epoll_pwait, {3, 0x7ffe00, 1, 200, 0, 8}), nullptr, none,
         none, Look::Blocked, ""},
        {"epoll_pwait, mask", sleepingBlocked, asleep(SYS_epoll_pwait, {3, 0x7ffe00, 1, 200, 0x2000, 8}), nullptr, none,
         none, Look::InOwnMaskCall, "epoll_pwait"},
        {"epoll_pwait2, mask", sleepingBlocked, asleep(SYS_epoll_pwait2, {3, 0x7ffe00, 1, 0, 0x2000, 8}), nullptr, none,
         none, Look::InOwnMaskCall, "epoll_pwait2"},
        {"rt_sigsuspend", sleepingBlocked, asleep(SYS_rt_sigsuspend, {0x2000, 8}), nullptr, none, none,
         Look::InOwnMaskCall, "rt_sigsuspend"},
        {"io_uring_enter, set", sleepingBlocked, asleep(SYS_io_uring_enter, {4, 0, 1, 1, 0x2000, 8}), nullptr, none,
         none, Look::InOwnMaskCall, "io_uring_enter"},
        {"io_uring_enter, struct without mask", sleepingBlocked,
         asleep(SYS_io_uring_enter, {4, 0, 1, 1 | extended, 0x3000, 24}), nullptr, none, none, Look::Blocked, ""},
        {"io_uring_enter, struct with mask", sleepingBlocked,
         asleep(SYS_io_uring_enter, {4, 0, 1, 1 | extended, 0x4000, 24}), nullptr, none, none, Look::InOwnMaskCall,
         "io_uring_enter"},
        {"io_uring_enter, registered region", sleepingBlocked,
         asleep(SYS_io_uring_enter, {4, 0, 1, 1 | extended | registered, 0x3000, 24}), nullptr, none, none,
         Look::InOwnMaskCall, "io_uring_enter"},
        {"sigtimedwait for SIGUSR1", sleeping, sigwait, nullptr, none, none, Look::Waiting, "rt_sigtimedwait"},
        {"sigtimedwait for SIGUSR1, woken between reads", sleeping, sigwait, "running\n", none, none, Look::Waking,
         "rt_sigtimedwait"},
        {"sigtimedwait for another set", sleeping, asleep(SYS_rt_sigtimedwait, {0x2000, 0, 0x7ffe00, 8}), nullptr, none,
         none, Look::Exposed, "rt_sigtimedwait"},
        {"sigtimedwait, SIGUSR1 blocked", sleepingBlocked, asleep(SYS_rt_sigtimedwait, {0x9000}), nullptr, none, none,
         Look::Blocked, ""},
        {"sigtimedwait, set unreadable", sleeping, asleep(SYS_rt_sigtimedwait, {0x9000}), nullptr, none, none,
         Look::SetUnreadable, "rt_sigtimedwait"},
        {"sigtimedwait, stopped", stopped, sigwait, nullptr, none, none, Look::Exposed, ""},
        {"stopped outside calls", stopped, "-1 0x7ffd10 0x4a1f2c\n", nullptr, none, none, Look::Exposed, ""},
        {"woken from the wait, not run yet", sleeping, running, nullptr, stackInWait, none, Look::Waking,
         "rt_sigtimedwait"},
        {"woken from ppoll, not run yet", sleepingBlocked, running, nullptr, stackInPpoll, none, Look::InOwnMaskCall,
         "ppoll"},
        {"no call: wchan 0", sleeping, none, nullptr, none, std::string("0"), Look::Unknown, ""},
        {"no call: wchan in the wait", sleeping, none, nullptr, none, std::string("do_sigtimedwait.isra.0"),
         Look::SetUnreadable, "rt_sigtimedwait"},
        {"no call: wchan in poll", sleepingBlocked, none, nullptr, none, std::string("poll_schedule_timeout"),
         Look::InOwnMaskCall, "poll_schedule_timeout"},
        {"no call: wchan elsewhere", sleepingBlocked, none, nullptr, none, std::string("futex_wait_queue"),
         Look::Blocked, ""},
        {"no call: stack in ppoll", sleepingBlocked, none, nullptr, stackInPpoll, std::string("0"), Look::InOwnMaskCall,
         "ppoll"},
        {"no call: running", status("R (running)", false), none, nullptr, none, std::string("0"), Look::Exposed, ""},
        {"garbage", sleeping, std::string("x 0x1"), nullptr, none, none, Look::Unknown, ""},
    };
    for (const auto& c : cases) {
        TargetSignal::ThreadTexts texts;
        texts.status = c.status;
        texts.syscall = c.syscall;
        texts.syscallAfter = c.movedTo != nullptr ? std::optional<std::string>(c.movedTo) : c.syscall;
        texts.stack = c.stack;
        texts.wchan = c.wchan;
        const ThreadLook look = TargetSignal::classify(texts, readMemory);
        EXPECT_EQ(look.look, c.look) << c.name;
        EXPECT_EQ(look.call, c.call) << c.name;
    }
}

// The looks of one window, thread by thread, and what they decide; `decided`: no more looks needed.
TEST(TargetSignal, WindowDecision)
{
    const ThreadLook blocked{Look::Blocked, ""};
    const ThreadLook waiting{Look::Waiting, "rt_sigtimedwait"};
    const ThreadLook exposed{Look::Exposed, ""};
    const ThreadLook inPpoll{Look::InOwnMaskCall, "ppoll"};
    const ThreadLook waking{Look::Waking, "rt_sigtimedwait"};
    const ThreadLook gone{Look::Gone, ""};
    const ThreadLook exposedInCall{Look::ExposedInCall, "epoll_pwait"};
    const TargetSignal::Verdict served{true, "", ""};
    const std::string isExposed = "is exposed: it neither blocks nor waits for SIGUSR1";
    const struct
    {
        const char* name;
        std::vector<std::pair<std::string, ThreadLook>> looks;
        bool decided;
        TargetSignal::Verdict verdict;
    } cases[] = {
        {"blocked", {{"7", blocked}}, true, served},
        {"waiting", {{"7", waiting}}, true, served},
        {"exposed", {{"7", exposed}}, false, {false, "7", isExposed}},
        {"exposed, then seen waiting",
         {{"7", exposed}, {"7", waiting}, {"7", waiting}},
         false,
         {false, "7", isExposed}},
        {"exposed, then blocked", {{"7", exposed}, {"7", waiting}, {"7", blocked}}, true, served},
        {"only in ppoll",
         {{"7", inPpoll}},
         false,
         {false, "7", "was only seen in ppoll, a call with a mask of its own"}},
        {"in ppoll, then exposed", {{"7", inPpoll}, {"7", exposed}}, false, {false, "7", isExposed}},
        {"in ppoll, then blocked outside", {{"7", inPpoll}, {"7", blocked}}, true, served},
        {"exposed in a call, whatever follows",
         {{"7", exposedInCall}, {"7", blocked}},
         true,
         {false, "7", "is exposed in epoll_pwait, whose mask lets SIGUSR1 through"}},
        {"only waking", {{"7", waking}}, false, {false, "7", "was only seen waking from rt_sigtimedwait"}},
        {"set unreadable",
         {{"7", {Look::SetUnreadable, ""}}},
         false,
         {false, "7", "waits for a set that cannot be read"}},
        {"nothing readable", {{"7", {Look::Unknown, ""}}}, false, {false, "7", "shows nothing readable"}},
        {"zombie leader, a waiting thread", {{"7", gone}, {"8", waiting}}, true, served},
        {"exposed thread gone", {{"7", exposed}, {"7", gone}}, true, served},
        {"the first thread that refuses is named",
         {{"7", blocked}, {"8", exposed}, {"9", exposed}, {"8", blocked}},
         false,
         {false, "9", isExposed}},
        {"exposure in a call named first",
         {{"7", exposed}, {"8", exposedInCall}},
         true,
         {false, "8", "is exposed in epoll_pwait, whose mask lets SIGUSR1 through"}},
    };
    for (const auto& c : cases) {
        TargetSignal::Judgement judgement;
        for (const auto& [thread, look] : c.looks) {
            judgement.take(thread, look);
        }
        const auto verdict = judgement.verdict();
        EXPECT_EQ(judgement.decided(), c.decided) << c.name;
        EXPECT_EQ(verdict.maySignal, c.verdict.maySignal) << c.name;
        EXPECT_EQ(verdict.thread, c.verdict.thread) << c.name;
        EXPECT_EQ(verdict.reason, c.verdict.reason) << c.name;
    }
}

} // namespace
} // namespace YultService::Guard
