#pragma once

#include "AppPeer.h"

#include <cstddef>

namespace YultBench {

/// One run of the agent, started under rss-launch.
struct AgentRun
{
    double seconds = 0;    ///< the transfer as the sender measures it (see Delivery)
    double cpuSeconds = 0; ///< user + system CPU of the agent process (its target lookup included)
    long maxRssKiB = 0;    ///< the agent's own peak resident size
};

/// A run of a short command: its wall time from start to exit, and its CPU.
struct CommandRun
{
    double seconds = 0;
    double cpuSeconds = 0;
};

/// The profiled application, played by this process: the lifecycle-tool stand-in lists its pid,
/// it takes the agent's signal and talks to the agent over loopback, as the tests do. Construct
/// it before any thread starts. Every run throws std::runtime_error when it goes wrong.
class Application
{
  public:
    Application();

    /// `-C -O`: the trace announced and streamed by the one sender, then checked byte for byte.
    AgentRun receiveTrace(std::size_t size);
    /// `-M -J`: the heap summary announced and streamed by the one sender, then checked.
    AgentRun receiveHeap(std::size_t size);
    /// `-C -S`, the agent run directly (no launcher): wall time from its start to its exit.
    /// With `refused` > 0, a process of another user (needs root) holds that many connections
    /// to the port, made after the signal and before this process connects.
    CommandRun startProfiling(int refused = 0);
    /// The agent's target lookup alone, `tulm list | grep -w PID`, in the agent's environment.
    CommandRun lookUp();
    /// `-v` alone: the agent's process start and exit, without a target, a lookup or a link.
    CommandRun printVersion();
    /// rss-launch running /bin/true: the least peak resident size a launched command reports.
    long launcherFloorKiB();

    YultPeer::AppPeer& peer() { return app; }

  private:
    YultPeer::Registry registry;
    YultPeer::AppPeer app;
};

} // namespace YultBench
