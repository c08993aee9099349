#pragma once

#include <ios>
#include <string>

namespace YultService::Utils {

/// Stateless probes of processes, ports and files.
class Helper
{
  public:
    /// True when the lifecycle tool's listing names the pid as a whole word.
    static bool tulmProcessExists(int pid);
    /// True when `ps -Aef` shows a process of app_user with this pid.
    static bool psProcessExists(int pid);

    /// The first port from 49152 up that could be bound; throws when none can.
    static int getFreePort();
    /// True when binding the port on 0.0.0.0 fails.
    static bool isPortOccupied(int port);

    /// True when something exists at the path itself (a symbolic link is not followed).
    static bool fileExists(const std::string& path);
    /// Size of the regular file at the path, -1 when it cannot be opened or is a symbolic link.
    static std::streampos filesize(const std::string& path);
};

} // namespace YultService::Utils
