#pragma once

#include "Process.h"

#include <chrono>
#include <csignal>
#include <string>
#include <string_view>

namespace YultPeer {

using namespace std::chrono_literals;

/// What an application may send after the content of a transfer. The peer keeps its own copy of
/// every wire text, so that a mistyped text in the agent fails the tests instead of passing them.
inline const std::string marker = "profiler-trace-data-end";

/// The first port from `from` that a listener on 0.0.0.0 can bind now, found by binding it
/// (without address reuse, so a port that a closed connection lingers on counts as taken); -1 if none.
int firstFreePort(int from = 49152);

/// Blocks SIGUSR1 in the calling thread and returns the set. Call it before any thread starts, so
/// that every thread inherits the mask and the agent's signal waits for an AppPeer to read it.
const sigset_t& blockProfilerSignal();

/// The application's end of the link, played by the calling process: it takes the agent's queued
/// SIGUSR1 from a signalfd and talks to the agent over loopback TCP.
class AppPeer
{
  public:
    AppPeer();
    ~AppPeer();
    AppPeer(const AppPeer&) = delete;
    AppPeer& operator=(const AppPeer&) = delete;

    /// The int value of the next SIGUSR1 queued to this process, or -1 on timeout.
    int awaitSignalValue(std::chrono::milliseconds timeout = 10s);
    /// Connects to the port on 127.0.0.1 (or, with `mapped`, on ::ffff:127.0.0.1 from an IPv6 socket).
    bool connectTo(int port, bool mapped = false);
    /// Sends the bytes in one write and waits until the agent's kernel has acknowledged them,
    /// so the agent has been woken for them.
    void send(std::string_view bytes);
    /// send, then waits until the agent sleeps again: it has taken the bytes as one read.
    void sendSettled(std::string_view bytes, const ChildProcess& agent);
    /// Sends all the bytes, as many writes as it takes, without waiting for anything.
    bool stream(std::string_view bytes);
    /// What one read brings (up to 64 KiB); empty at the end of the stream or on timeout.
    std::string receive(std::chrono::milliseconds timeout = 10s);
    /// Everything until the agent closes the connection (or sends nothing for 10 s).
    std::string receiveUntilClosed();
    /// True when the agent ends the connection (an end of stream or a reset) within the timeout
    /// without having sent a byte.
    bool closedUnanswered(std::chrono::milliseconds timeout = 10s);
    /// hello / hello / handshake-success-ack; returns the agent's command.
    std::string handshake();
    void close();
    /// Sends a copy of the connection over the local socket `via` (SCM_RIGHTS), keeping its own:
    /// the target that made the connection goes on holding it while another process talks on it.
    bool handOver(int via) const;
    /// Takes a connection handed over on the local socket `via` as this peer's own.
    bool takeOver(int via, std::chrono::milliseconds timeout = 10s);
    /// Closes with a reset instead of an orderly end.
    void reset();

  private:
    int signalFd = -1;
    int socketFd = -1;
};

/// A lifecycle-tool registry of its own ($TULM_HOME) with the tool's stand-in first on PATH.
class Registry
{
  public:
    /// Lists the process as a running application.
    void add(pid_t pid, const std::string& name = "com.olva.test") const;
    /// PATH and TULM_HOME for a child that looks applications up here.
    Environment environment() const;

  private:
    TempDir home;
};

/// The application simulator (olva-app-sim) run as a target, listed in `registry`; ready (its
/// signals set up and listed) once constructed.
class Simulator
{
  public:
    Simulator(const Registry& registry, const std::vector<std::string>& options);
    pid_t pid() const { return process.pid(); }
    bool ready() const { return isReady; }
    bool alive() const { return process.alive(); }
    std::string log() const { return process.err(); }

  private:
    ChildProcess process;
    bool isReady = false;
};

} // namespace YultPeer
