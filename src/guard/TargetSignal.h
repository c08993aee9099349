#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace YultService::Guard {

/// Whether the target may be sent the profiler signal (SIGUSR1) without being killed by it.
///
/// SIGUSR1's default action ends a process, so the signal goes only to a target that catches or
/// ignores it, or whose every thread blocks it or waits for it with sigwaitinfo, sigtimedwait or
/// sigwait. While a thread sleeps in such a wait the kernel takes the waited-for signals, and only
/// those, out of its mask, and puts them back when the thread runs again after waking. So a wait
/// counts only when SIGUSR1 is in the set the thread waits for: the set is read from the first
/// argument of the system call (/proc/<pid>/task/<tid>/syscall gives the pointer,
/// /proc/<pid>/mem the word). Where the set cannot be read, any wait counts, as it always has.
///
/// /proc shows the wait while the thread sleeps (wchan, the system call) and, where the kernel
/// stack can be read, also until it runs again. Where it cannot, a waiter that has just woken
/// looks exposed until it gets a CPU, and blocks or waits again as soon as it runs, while a
/// thread that would really die of the signal stays exposed. So a thread counts against the
/// target only when every look over a short window finds it exposed. A target that catches or
/// ignores the signal costs one read of its status; what cannot be read counts as handled.
class TargetSignal
{
  public:
    /// The decision: true when the target would take SIGUSR1 without dying of it.
    static bool mayBeSignalled(int pid);

    /// SIGUSR1's bit in the mask line `key` ("SigCgt:", "SigIgn:", "SigBlk:") of a /proc status
    /// text; nullopt when there is no such line.
    static std::optional<bool> profilerSignalInMask(const std::string& status, const std::string& key);
    /// True when a thread's /proc wchan, stack or syscall text shows it in sigwaitinfo,
    /// sigtimedwait or sigwait (empty: not read).
    static bool isWaitingForSignals(const std::string& wchan, const std::string& stack, const std::string& syscall);
    /// The address of the set a thread waits for, when its /proc syscall text shows it asleep in
    /// rt_sigtimedwait (or rt_sigtimedwait_time64); nullopt otherwise.
    static std::optional<std::uintptr_t> waitedSetAddress(const std::string& syscall);
    /// Whether SIGUSR1 is in a signal set whose first word (as the target stores it) is `word`.
    static bool profilerSignalInSet(unsigned long word);
    /// Reads the first word of the target's signal set at an address; nullopt when it cannot.
    using SetReader = std::function<std::optional<unsigned long>(std::uintptr_t)>;
    /// True when a thread with these /proc texts takes SIGUSR1 through a wait: it waits for
    /// signals, and SIGUSR1 is in the set, or the set cannot be read.
    static bool waitTakesProfilerSignal(const std::string& wchan, const std::string& stack, const std::string& syscall,
                                        const SetReader& readSet);

    /// True when the process catches or ignores SIGUSR1, or its status cannot be read.
    static bool profilerSignalCaughtOrIgnored(int pid);
    /// The ids of the process's threads (empty when they cannot be listed).
    static std::vector<std::string> threadsOf(int pid);
    /// Those of `threads` that SIGUSR1 would reach at its default action just now: neither
    /// blocking it nor waiting for it. A thread whose state cannot be read is not among them.
    static std::vector<std::string> threadsExposedToProfilerSignal(int pid, const std::vector<std::string>& threads);
};

} // namespace YultService::Guard
