#pragma once

#include "Process.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace YultBench {

/// What a command alone used, as its launcher saw it in wait4.
struct Usage
{
    long maxRssKiB = 0;    ///< peak resident size
    double cpuSeconds = 0; ///< user + system, its reaped children included
    int status = -1;       ///< exit status; -1 when it was killed or could not be reported
};

/// A command run under rss-launch (built beside the agent), so that its peak resident size is its
/// own and not this process's: see rss-launch.c.
class Launched
{
  public:
    Launched(const std::vector<std::string>& command, const YultPeer::Environment& env = {});

    /// The command's own process, the launcher's only child; -1 when there is none (yet).
    pid_t commandPid() const;
    /// Waits (bounded) for the end and reads the launcher's report.
    Usage finish();
    /// The command's standard output and error (the launcher writes to neither on success).
    std::string out() const { return launcher.out(); }
    std::string err() const { return launcher.err(); }

  private:
    YultPeer::TempDir files;
    YultPeer::ChildProcess launcher;
};

} // namespace YultBench
