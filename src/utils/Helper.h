#pragma once

#include <ios>
#include <string>

namespace YultService::Utils {

/// Stateless probes of processes, ports and files. (What the agent may do to a target, a peer or
/// a file is the guards' to say: see src/guard.)
class Helper
{
  public:
    /// True when the lifecycle tool's listing names the pid as a whole word.
    static bool tulmProcessExists(int pid);
    /// True when `ps -Aef` shows a process of app_user with this pid.
    static bool psProcessExists(int pid);
    /// True when a `ps -Aef` listing holds a line of app_user whose process id is `pid`.
    static bool listsAppUserProcess(const std::string& listing, int pid);

    /// The first port from `from` (49152 by default) to 65535 that could be bound; -1 when none can.
    static int getFreePort(int from = 49152);
    /// True when binding the port on 0.0.0.0 fails.
    static bool isPortOccupied(int port);

    /// True when something exists at the path itself (a symbolic link is not followed).
    static bool fileExists(const std::string& path);
    /// Size of the regular file at the path, -1 when it cannot be opened or is a symbolic link.
    static std::streampos filesize(const std::string& path);
};

} // namespace YultService::Utils
