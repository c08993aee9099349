#pragma once

#include <string>

namespace YultService::SocketCommunication {

/// What the server saw while it waited for the application's connection.
struct WaitRecord
{
    unsigned refusedPeers = 0;   ///< connections accepted and closed unserved
    std::string lastRefusedPeer; ///< the latest of them, as address:port
    std::string acceptError;     ///< the failed accept's error text; empty while none failed
};

/// The target as its /proc/<pid>/status shows it at one moment.
struct TargetState
{
    enum Presence
    {
        Running,
        Ended,
        Unreadable
    } presence = Running;
    std::string whyUnreadable; ///< the system's error text when the status could not be read
    char state = '?';          ///< the letter of the State: line
    bool pending = false;      ///< SIGUSR1 waits in SigPnd or ShdPnd
    bool blocked = false;      ///< SIGUSR1 is in SigBlk
    bool ignored = false;      ///< SIGUSR1 is in SigIgn
};

/// Why the application did not connect before the server deadline: one warn line, from what the
/// server saw and what the target's /proc status shows.
class ConnectionDiagnosis
{
  public:
    /// The fields of a /proc/<pid>/status text that tell what became of the profiler signal.
    static TargetState parseStatus(const std::string& status);
    /// Reads /proc/<pid>/status; a process that no longer exists has ended.
    static TargetState readTarget(int pid);
    /// The line naming the most specific cause: what the server saw first, then the target's state.
    static std::string explain(const WaitRecord& seen, const TargetState& target, int pid, unsigned short port);
};

} // namespace YultService::SocketCommunication
