#pragma once

#include "AppPeer.h"
#include "OtherUser.h"

#include <cstddef>
#include <memory>

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

/// A process of this user that this one did not start (an orphaned grandchild, so the agent finds
/// it among no descendants of the target), started once and told what to do: the intruders of the
/// refusal runs, so that no process start falls into their timing.
class Crowd
{
  public:
    /// Starts it; it holds `count` connections whenever told.
    explicit Crowd(int count);
    /// Ends it, letting go of whatever it holds.
    ~Crowd();
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

    /// Returns once it holds its connections to the port.
    void connectTo(int port);
    /// Returns once it has closed them.
    void release();

  private:
    static int serve(int count, int orders, int replies);

    int ordersFd = -1;
    int repliesFd = -1;
    std::unique_ptr<YultPeer::OtherUser> orphan;
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
    /// With a crowd, it holds its connections to the port, made after the signal and before this
    /// process connects; the run's time ends before it lets go of them.
    CommandRun startProfiling(Crowd* crowd = nullptr);
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
