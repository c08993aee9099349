#include "guard/TargetSignal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/syscall.h>

#include <string>
#include <tuple>
#include <vector>

namespace YultService::Guard {
namespace {

using Look = TargetSignal::Look;
using ThreadLook = TargetSignal::ThreadLook;

std::string status(const char* state, bool blocked)
{
    return std::string("Name:\tapp\nState:\t") + state + "\nTgid:\t7\nSigPnd:\t0000000000000000\nSigBlk:\t" +
           (blocked ? "0000000000000200" : "0000000000004000") + "\nSigIgn:\t0000000000000000\n";
}

// A /proc syscall line of a thread asleep in call `number` with these arguments.
std::string asleep(long number, std::vector<std::uint64_t> arguments)
{
    std::string line = std::to_string(number);
    arguments.resize(6);
    for (const auto argument : arguments) {
        char field[24];
        std::snprintf(field, sizeof(field), " 0x%llx", static_cast<unsigned long long>(argument));
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

// What each look says of SIGUSR1: a NULL mask (arm64's poll, select and epoll_wait) leaves the thread's own.
TEST(TargetSignal, LookAtAThread)
{
    using Text = std::optional<std::string>;
    const Text none;
    const Text open = status("S (sleeping)", false), blocked = status("S (sleeping)", true), running = "running\n";
    const std::string ppoll = asleep(SYS_ppoll, {0, 0, 0x7ffe00, 0x2000, 8});
    const std::string sigwait = asleep(SYS_rt_sigtimedwait, {0x1000, 0, 0x7ffe00, 8});
    const Text stackInWait = "[<0>] do_sigtimedwait+0x181/0x230\n[<0>] __x64_sys_rt_sigtimedwait+0xbc/0x120\n";
    const Text stackInPpoll = "[<0>] do_sys_poll+0x43e/0x5d0\n[<0>] __arm64_sys_ppoll+0xdf/0x190\n";
    const Look ownMask = Look::InOwnMaskCall; // asleep in a call with a mask of its own
    const char* const wait = "rt_sigtimedwait";
    const unsigned long extended = 1U << 3, registered = 1U << 5; // io_uring_enter's flags
    const auto uring = [](unsigned long flags, std::uint64_t argument, std::uint64_t size) {
        return asleep(SYS_io_uring_enter, {4, 0, 1, flags, argument, size});
    };
    const struct
    {
        const char* name;
        Text status, syscall;
        Look look;
        const char* call;
        Text movedTo = {}; ///< the second read of the syscall file, when it differs from the first
        Text stack = {}, wchan = {};
    } cases[] = {
        {"running, blocked", blocked, running, Look::Blocked, ""},
        {"running, unblocked", open, running, Look::ExposedRunning, ""},
        {"zombie leader", status("Z (zombie)", false), none, Look::Gone, ""},
        {"no status: gone", none, running, Look::Gone, ""},
        {"another call", open, asleep(SYS_clock_nanosleep, {0, 0, 0x7ffe00}), Look::Exposed, ""},
        {"ppoll, NULL mask", blocked, asleep(SYS_ppoll, {0x7ffe00, 1, 0, 0, 8}), Look::Blocked, ""},
        {"ppoll, mask", blocked, ppoll, ownMask, "ppoll"},
        {"ppoll, mask letting it through", open, ppoll, Look::ExposedInCall, "ppoll"},
        {"ppoll left between reads", open, ppoll, Look::Exposed, "ppoll", running},
        {"pselect6, pair without mask", blocked, asleep(SYS_pselect6, {1, 9, 0, 0, 0, 0x3000}), Look::Blocked, ""},
        {"pselect6, pair with mask", blocked, asleep(SYS_pselect6, {1, 9, 0, 0, 0, 0x4000}), ownMask, "pselect6"},
        {"pselect6, pair unreadable", blocked, asleep(SYS_pselect6, {1, 9, 0, 0, 0, 0x9000}), ownMask, "pselect6"},
        {"epoll_pwait, NULL mask", blocked, asleep(SYS_epoll_pwait, {3, 9, 1, 200, 0, 8}), Look::Blocked, ""},
        {"epoll_pwait, mask", blocked, asleep(SYS_epoll_pwait, {3, 9, 1, 200, 0x2000, 8}), ownMask, "epoll_pwait"},
        {"epoll_pwait2, mask", blocked, asleep(SYS_epoll_pwait2, {3, 9, 1, 0, 0x2000, 8}), ownMask, "epoll_pwait2"},
        {"rt_sigsuspend", blocked, asleep(SYS_rt_sigsuspend, {0x2000, 8}), ownMask, "rt_sigsuspend"},
        {"io_uring_enter, set", blocked, uring(1, 0x2000, 8), ownMask, "io_uring_enter"},
        {"io_uring_enter, struct without mask", blocked, uring(1 | extended, 0x3000, 24), Look::Blocked, ""},
        {"io_uring_enter, struct with mask", blocked, uring(1 | extended, 0x4000, 24), ownMask, "io_uring_enter"},
        {"io_uring_enter, registered", blocked, uring(1 | extended | registered, 0x3000, 24), ownMask,
         "io_uring_enter"},
        {"sigtimedwait for SIGUSR1", open, sigwait, Look::Waiting, "rt_sigtimedwait"},
        {"sigtimedwait, woken between reads", open, sigwait, Look::Waking, "rt_sigtimedwait", running},
        {"sigtimedwait for another set", open, asleep(SYS_rt_sigtimedwait, {0x2000}), Look::Exposed, "rt_sigtimedwait"},
        {"sigtimedwait, SIGUSR1 blocked", blocked, asleep(SYS_rt_sigtimedwait, {0x9000}), Look::Blocked, ""},
        {"sigtimedwait, set unreadable", open, asleep(SYS_rt_sigtimedwait, {0x9000}), Look::SetUnreadable, wait},
        {"sigtimedwait, stopped", status("T (stopped)", false), sigwait, Look::Exposed, ""},
        {"woken from the wait, not run yet", open, running, Look::Waking, "rt_sigtimedwait", none, stackInWait},
        {"no call: wchan 0", open, none, Look::Unknown, "", none, none, "0"},
        {"no call: wchan in the wait", open, none, Look::SetUnreadable, wait, none, none, "do_sigtimedwait.isra.0"},
        {"no call: wchan in poll", blocked, none, ownMask, "poll_schedule_timeout", none, none,
         "poll_schedule_timeout"},
        {"no call: stack in ppoll", blocked, none, ownMask, "ppoll", none, stackInPpoll, "0"},
        {"garbage", open, "x 0x1", Look::Unknown, ""},
    };
    for (const auto& c : cases) {
        const ThreadLook look = TargetSignal::classify(
            {c.status, c.syscall, c.movedTo ? c.movedTo : c.syscall, c.wchan, c.stack}, readMemory);
        EXPECT_EQ(look.look, c.look) << c.name;
        EXPECT_EQ(look.call, c.call) << c.name;
    }
}

// The looks of one window, thread by thread, and what they decide; `decided`: no more looks needed.
TEST(TargetSignal, WindowDecision)
{
    const ThreadLook blocked{Look::Blocked, ""}, waiting{Look::Waiting, "rt_sigtimedwait"}, exposed{Look::Exposed, ""};
    const ThreadLook inPpoll{Look::InOwnMaskCall, "ppoll"}, gone{Look::Gone, ""};
    const ThreadLook exposedInCall{Look::ExposedInCall, "epoll_pwait"}, waking{Look::Waking, "rt_sigtimedwait"};
    const ThreadLook unreadable{Look::SetUnreadable, ""}, unknown{Look::Unknown, ""};
    const ThreadLook ran{Look::ExposedRunning, ""}; // seen running, exposed
    const std::string isExposed = "is exposed: it neither blocks nor waits for SIGUSR1";
    const std::string inCall = "is exposed in epoll_pwait, whose mask lets SIGUSR1 through";
    const std::string onlyPpoll = "was only seen in ppoll, a call with a mask of its own";
    const struct
    {
        const char* name;
        std::vector<std::pair<std::string, ThreadLook>> looks;
        bool decided;
        TargetSignal::Verdict verdict;
    } cases[] = {
        {"blocked", {{"7", blocked}}, true, {true, "", ""}},
        {"waiting", {{"7", waiting}}, true, {true, "", ""}},
        {"exposed, then seen waiting", {{"7", exposed}, {"7", waiting}}, false, {false, "7", isExposed}},
        {"exposed, then blocked", {{"7", exposed}, {"7", waiting}, {"7", blocked}}, true, {true, "", ""}},
        {"seen running exposed once, then waiting", {{"7", ran}, {"7", waiting}}, true, {true, "", ""}},
        {"seen running exposed twice", {{"7", ran}, {"7", ran}, {"7", waiting}}, false, {false, "7", isExposed}},
        {"only in ppoll", {{"7", inPpoll}}, false, {false, "7", onlyPpoll}},
        {"in ppoll, then exposed", {{"7", inPpoll}, {"7", exposed}}, false, {false, "7", isExposed}},
        {"in ppoll, then blocked outside", {{"7", inPpoll}, {"7", blocked}}, true, {true, "", ""}},
        {"exposed in a call, whatever follows", {{"7", exposedInCall}, {"7", blocked}}, true, {false, "7", inCall}},
        {"only waking", {{"7", waking}}, false, {false, "7", "was only seen waking from rt_sigtimedwait"}},
        {"set unreadable", {{"7", unreadable}}, false, {false, "7", "waits for a set that cannot be read"}},
        {"nothing readable", {{"7", unknown}}, false, {false, "7", "shows nothing readable"}},
        {"exposed thread gone", {{"7", exposed}, {"7", gone}}, true, {true, "", ""}},
        {"first named",
         {{"7", blocked}, {"8", exposed}, {"9", exposed}, {"8", blocked}},
         false,
         {false, "9", isExposed}},
        {"exposure in a call named first", {{"7", exposed}, {"8", exposedInCall}}, true, {false, "8", inCall}},
    };
    for (const auto& c : cases) {
        TargetSignal::Judgement judgement;
        for (const auto& [thread, look] : c.looks) {
            judgement.take(thread, look);
        }
        const auto verdict = judgement.verdict();
        EXPECT_EQ(judgement.decided(), c.decided) << c.name;
        EXPECT_EQ(std::tie(verdict.maySignal, verdict.thread, verdict.reason),
                  std::tie(c.verdict.maySignal, c.verdict.thread, c.verdict.reason))
            << c.name;
    }
    // Looks go on past the window only while every thread not yet safe was last seen waking.
    TargetSignal::Judgement judgement;
    judgement.take("7", blocked);
    judgement.take("8", waking);
    EXPECT_TRUE(judgement.onlyWaking());
    judgement.take("9", inPpoll);
    EXPECT_FALSE(judgement.onlyWaking());
}

} // namespace
} // namespace YultService::Guard
