#pragma once

#include <ios>
#include <optional>
#include <string>
#include <vector>

namespace YultService::Utils {

/// Stateless probes of processes, ports and files.
class Helper
{
  public:
    /// True when the lifecycle tool's listing names the pid as a whole word.
    static bool tulmProcessExists(int pid);
    /// True when `ps -Aef` shows a process of app_user with this pid.
    static bool psProcessExists(int pid);
    /// True when a `ps -Aef` listing holds a line of app_user whose process id is `pid`.
    static bool listsAppUserProcess(const std::string& listing, int pid);

    /// The first port from 49152 up that could be bound; throws when none can.
    static int getFreePort();
    /// True when binding the port on 0.0.0.0 fails.
    static bool isPortOccupied(int port);

    /// SIGUSR1's bit in the mask line `key` ("SigCgt:", "SigIgn:", "SigBlk:") of a /proc status
    /// text; nullopt when there is no such line.
    static std::optional<bool> profilerSignalInMask(const std::string& status, const std::string& key);
    /// True when a thread's /proc wchan, stack or syscall text shows it in sigwaitinfo,
    /// sigtimedwait or sigwait (empty: not read).
    static bool isWaitingForSignals(const std::string& wchan, const std::string& stack, const std::string& syscall);
    /// True when the process catches or ignores SIGUSR1, or its status cannot be read.
    static bool profilerSignalCaughtOrIgnored(int pid);
    /// The ids of the process's threads (empty when they cannot be listed).
    static std::vector<std::string> threadsOf(int pid);
    /// Those of `threads` that SIGUSR1 would reach at its default action just now: neither
    /// blocking it nor waiting for signals. A thread whose state cannot be read is not among them.
    static std::vector<std::string> threadsExposedToProfilerSignal(int pid, const std::vector<std::string>& threads);

    /// True when something exists at the path itself (a symbolic link is not followed).
    static bool fileExists(const std::string& path);
    /// Size of the regular file at the path, -1 when it cannot be opened or is a symbolic link.
    static std::streampos filesize(const std::string& path);
};

} // namespace YultService::Utils
