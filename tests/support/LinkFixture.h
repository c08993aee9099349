#pragma once

#include "AppPeer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace YultTest {

using namespace YultPeer;

// Blocked before gtest or anything else can start a thread, so every thread inherits it.
inline const sigset_t& profilerSignal = blockProfilerSignal();

/// "YultService: " and a newline around each text: the agent's lines as callers read them.
inline std::string lines(std::initializer_list<std::string> texts)
{
    std::string all;
    for (const auto& text : texts) {
        all += "YultService: " + text + "\n";
    }
    return all;
}

/// Repeats `period` byte values, each period closed by a line break. A period of 23 does not divide
/// the agent's 1024-byte reads, so a shifted or lost byte shows; one of 257 holds every byte value.
inline std::string patterned(std::size_t size, std::size_t period = 23)
{
    std::string text(size, '\n');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = i % period == period - 1 ? '\n' : static_cast<char>('a' + i % period);
    }
    return text;
}

/// Why the agent under test runs emulated (YULT_AGENT_LAUNCHER, as qemu-user), or empty when it
/// runs natively. An emulated agent differs from one on a device in two ways: /proc shows the
/// target's system calls in the host's numbering, not its own, and qemu-user offers no sock_diag
/// netlink socket, so the agent falls back to reading the kernel's TCP tables.
inline std::string agentEmulatedBy()
{
    const char* launcher = std::getenv("YULT_AGENT_LAUNCHER");
    return launcher != nullptr ? launcher : "";
}

/// How many connections wait in the listen queue of `port`, -1 when nothing listens there: the
/// kernel's TCP table shows a listener's queue in place of its receive queue.
inline long listenQueue(int port)
{
    char listener[32];
    std::snprintf(listener, sizeof(listener), "00000000:%04X 00000000:0000 0A ", port);
    const std::string table = readFile("/proc/net/tcp");
    const auto at = table.find(listener);
    return at == std::string::npos ? -1 : std::stol(table.substr(at + std::strlen(listener) + 9, 8), nullptr, 16);
}

/// Stops (or continues) the process and waits until /proc shows it stopped (or not).
inline bool setStopped(pid_t pid, bool stopped)
{
    kill(pid, stopped ? SIGSTOP : SIGCONT);
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    const auto isStopped = [&stat] {
        const std::string text = readFile(stat);
        const auto end = text.rfind(')');
        return end != std::string::npos && text.compare(end, 4, ") T ") == 0;
    };
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         isStopped() != stopped && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(100us); // only waitpid announces a stop, and ChildProcess reaps the agent
    }
    return isStopped() == stopped;
}

/// The test process is the profiled application: the lifecycle-tool stand-in lists its pid,
/// it receives the agent's signal and talks to the agent over loopback.
class LinkFixture : public ::testing::Test
{
  protected:
    LinkFixture() { registry.add(getpid()); }

    /// Runs the agent with -P `target` (this process by default) and the given options.
    void startAgent(std::vector<std::string> options, pid_t target = getpid(),
                    ChildProcess::Output output = ChildProcess::Output::Files)
    {
        options.insert(options.begin(), {"-P", std::to_string(target)});
        agent = std::make_unique<ChildProcess>(agentCommand(options), registry.environment(), output);
    }

    /// Starts the agent, takes its signal and connects; returns the port the signal carried.
    int connectAgent(const std::vector<std::string>& options, ChildProcess::Output output = ChildProcess::Output::Files)
    {
        startAgent(options, getpid(), output);
        const int port = app.awaitSignalValue();
        EXPECT_GT(port, 0) << agent->err();
        EXPECT_TRUE(app.connectTo(port));
        return port;
    }

    /// Connects to 9091 once the agent listens there, for a target whose signal this process
    /// cannot take; false when the agent ends or 5 s pass first.
    bool connectOnceListening()
    {
        bool connected = false;
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             !connected && agent->alive() && std::chrono::steady_clock::now() < until;) {
            connected = app.connectTo(9091);
            std::this_thread::sleep_for(1ms); // a port that starts listening announces nothing
        }
        return connected;
    }

    /// Waits until the agent has taken every connection waiting for it and, having looked at them,
    /// sleeps again.
    void awaitAccepted(int port) const
    {
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             listenQueue(port) > 0 && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(100us); // the kernel announces no accept
        }
        agent->waitIdle();
    }

    /// Sends a message the agent does not answer and waits until the agent has taken it.
    void sendSettled(std::string_view bytes) { app.sendSettled(bytes, *agent); }

    Registry registry;
    AppPeer app;
    std::unique_ptr<ChildProcess> agent;
};

} // namespace YultTest
