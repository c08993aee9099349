#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace YultService::Guard {

/// The target as it was when the job began: its pid, the start time that tells it from a later
/// process with the same pid, a pidfd where the kernel has one, and its credentials.
///
/// A pid alone names whatever process holds it now. Between the lookup and the signal, or during
/// a conversation, the target may exit and its pid be reused, or it may run a set-user-ID program
/// and become someone else. So the signal goes through the pidfd (which names this process and
/// no other), and what is done on the target's behalf later is checked against the picture first.
class TargetProcess
{
  public:
    /// The target's ids when pinned: real uid and gid (whose files the application makes), and
    /// the supplementary groups it had.
    struct Credentials
    {
        std::vector<unsigned> uids; ///< real, effective, saved, file system
        std::vector<unsigned> gids; ///< the same for groups
        std::vector<gid_t> groups;  ///< supplementary groups
        uid_t uid() const { return uids.empty() ? 0 : uids[0]; }
        gid_t gid() const { return gids.empty() ? 0 : gids[0]; }
    };

    /// What the target has become since it was pinned.
    enum class Change
    {
        None,               ///< the same process with the same credentials
        Ended,              ///< it has exited (or is a zombie)
        Replaced,           ///< its pid now names another process
        CredentialsChanged, ///< it is the same process but runs with other ids
    };

    /// The target at one moment, as its /proc status shows it: there or not, and the profiler signal.
    struct State
    {
        enum Presence
        {
            Running,
            Ended,
            Unreadable
        } presence = Running;
        /// What SIGUSR1 does to the process as a whole.
        enum class Action
        {
            Default, ///< ends it
            Caught,
            Ignored,
            Unknown, ///< the status lacks a line that would tell
        };
        std::string whyUnreadable;               ///< the system's error text when the status could not be read
        char state = '?';                        ///< the letter of the State: line
        bool pending = false;                    ///< SIGUSR1 waits in SigPnd or ShdPnd
        bool blocked = false;                    ///< SIGUSR1 is in SigBlk (the thread group leader's mask)
        Action profilerSignal = Action::Default; ///< by SigIgn, then SigCgt
    };

    /// Takes the picture of process `pid` now. A process that cannot be read is pinned without
    /// start time or credentials; its signal then fails as the kernel says.
    static TargetProcess pin(int pid);
    /// Moves the pidfd along; a picture is neither copied nor assigned.
    TargetProcess(TargetProcess&& other) noexcept;
    TargetProcess& operator=(TargetProcess&&) = delete;
    TargetProcess(const TargetProcess&) = delete;
    TargetProcess& operator=(const TargetProcess&) = delete;
    /// Closes the pidfd.
    ~TargetProcess();

    /// The pid it was pinned at.
    int pid() const { return processId; }
    /// The credentials when pinned; nullopt when they could not be read.
    const std::optional<Credentials>& credentials() const { return ids; }

    /// Queues `signal` with the int value to this process, as sigqueue does; -1 with errno set
    /// (ESRCH once it has exited, even if its pid is reused).
    int queueSignal(int signal, int value) const;
    /// Compares the process now at the pid with the picture.
    Change changeSincePinned() const;
    /// Says what a change means, for a verbose line: "the target process 42 has ended", ...
    std::string describe(Change change) const;
    /// Reads the status at the pid now; a process that no longer exists has ended.
    State currentState() const;
    /// The ids of the threads at the pid now; empty when they cannot be listed.
    std::vector<std::string> threads() const;

    /// The start time field of a /proc/<pid>/stat text; nullopt when it cannot be found.
    static std::optional<unsigned long long> startTimeOf(const std::string& stat);
    /// The state letter of a /proc/<pid>/stat text; '?' when it cannot be found.
    static char stateOf(const std::string& stat);
    /// The fields of a /proc/<pid>/status text that tell what became of the profiler signal.
    static State parseState(const std::string& status);

  private:
    explicit TargetProcess(int pid) : processId(pid) {}
    static std::optional<Credentials> readCredentials(int pid);

    int processId;
    int pidfd = -1;
    int pinError = 0; ///< why the pidfd could not be opened (ESRCH: it had gone already)
    std::optional<unsigned long long> startTime;
    std::optional<Credentials> ids;
};

} // namespace YultService::Guard
