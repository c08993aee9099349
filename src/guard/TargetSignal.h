#pragma once

#include "guard/TargetProcess.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace YultService::Guard {

/// Whether the target may be sent the profiler signal (SIGUSR1) without being killed by it.
///
/// SIGUSR1's default action ends a process, so the signal goes only to a target that catches or
/// ignores it, or whose every thread blocks it or waits for it with sigwaitinfo, sigtimedwait or
/// sigwait. Each thread is looked at in /proc/<pid>/task/<tid>: its state and mask (status) and
/// the system call it sleeps in (syscall, with the call's arguments). What the mask line means
/// depends on the call:
/// - rt_sigtimedwait takes the waited-for signals out of the mask while it sleeps, so the mask
///   says nothing of SIGUSR1 when it is in the waited-for set, read from the target's memory at
///   the call's first argument (/proc/<pid>/mem); a set that cannot be read is no evidence.
/// - ppoll, pselect6, epoll_pwait(2), rt_sigsuspend, io_uring_enter and io_pgetevents install a
///   mask of their own for the call when given one: /proc then shows that mask, not the thread's,
///   and the look tells nothing of the thread's own mask. When that mask lets SIGUSR1 through,
///   the signal would kill the thread there, and the thread comes back to the call: refused.
/// - Anywhere else the mask is the thread's own.
/// Where the call cannot be read (no ptrace rights), wchan and the kernel stack stand in for it.
///
/// A thread's looks over a short window decide: seen blocking the signal (outside a call with a
/// mask of its own) or waiting for it, it is safe; seen exposed, only a later look that shows it
/// blocking the signal clears it (a look in the wait does not: a thread that waits without having
/// blocked the signal first dies of it even there, and /proc cannot show that); a thread seen
/// neither way by the end refuses the target.
class TargetSignal
{
  public:
    /// What one look at a thread shows.
    enum class Look
    {
        Gone,           ///< exited or exiting (State Z or X, or no status): the kernel delivers nothing to it
        Blocked,        ///< blocks SIGUSR1 with its own mask
        Waiting,        ///< asleep in rt_sigtimedwait for a set holding SIGUSR1
        Exposed,        ///< neither blocks nor waits for SIGUSR1
        ExposedRunning, ///< seen running with SIGUSR1 unblocked: exposed, or a waiter just woken
        ExposedInCall,  ///< in `call`, whose own mask lets SIGUSR1 through
        InOwnMaskCall,  ///< in `call`, whose own mask blocks SIGUSR1: no evidence
        Waking,         ///< just woken from `call` (rt_sigtimedwait), mask not yet restored: no evidence
        SetUnreadable,  ///< in rt_sigtimedwait for a set that cannot be read: no evidence
        Unknown,        ///< nothing readable says where it is: no evidence
    };
    struct ThreadLook
    {
        Look look = Look::Unknown;
        std::string call; ///< the system call, for ExposedInCall, InOwnMaskCall and Waking
    };

    /// A thread's /proc texts of one look; nullopt where a file could not be read. The syscall
    /// file is read before and after the status, so a thread that moved in between shows.
    struct ThreadTexts
    {
        std::optional<std::string> status, syscall, syscallAfter, wchan, stack;
    };

    /// A /proc syscall line: "running", or the call's number and arguments while the thread sleeps
    /// ("-1" when it is stopped outside any call).
    struct SyscallLine
    {
        bool running = false;
        long number = -1;
        std::vector<std::uint64_t> arguments; ///< the six arguments; empty for "running" and -1
    };

    /// Reads `width` bytes (4 or 8) of the target's memory as a number; nullopt when it cannot.
    using MemoryReader = std::function<std::optional<std::uint64_t>(std::uintptr_t address, std::size_t width)>;

    /// The outcome for the whole target; `reason` says why `thread` refuses it.
    struct Verdict
    {
        bool maySignal = true;
        std::string thread;
        std::string reason;
    };

    /// The looks of one window at a target's threads, and what they decide.
    class Judgement
    {
      public:
        /// Takes a look at a thread (a thread met for the first time joins).
        void take(const std::string& thread, const ThreadLook& look);
        /// The threads that still need a look: neither safe nor refusing.
        std::vector<std::string> undecided() const;
        /// True when more looks cannot change the verdict.
        bool decided() const;
        /// True when every thread not yet safe was last seen only waking from its wait.
        bool onlyWaking() const;
        /// The verdict, taking the threads still undecided as refusing.
        Verdict verdict() const;

      private:
        enum class Standing
        {
            Unknown,
            Exposed,
            Safe,
            Refusing,
        };
        struct Thread
        {
            std::string id;
            Standing standing = Standing::Unknown;
            ThreadLook evidence; ///< the look the standing rests on, or the latest one
            bool seenRunningExposed = false;
        };
        Thread& joined(const std::string& thread);
        static Standing next(Thread& thread, Look look);
        std::vector<Thread> threads;
    };

    /// The decision for the target, over a window of looks at its threads.
    static Verdict judge(const TargetProcess& target);

    /// A /proc syscall text, parsed; nullopt when it is not one.
    static std::optional<SyscallLine> parseSyscall(const std::string& text);
    /// What a look with these texts shows; `readMemory` reads the target's memory.
    static ThreadLook classify(const ThreadTexts& texts, const MemoryReader& readMemory);
};

} // namespace YultService::Guard
