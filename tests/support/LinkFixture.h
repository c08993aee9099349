#pragma once

#include "AppPeer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
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

/// The agent's lines when a deadline ends its run, and when the application has closed.
inline const std::string expired =
    lines({"checkDeadline() - Closing connection since the deadline to complete operation has expired"});
inline const std::string endOfFile = lines({"doRead - error - End of file"});

/// `period` byte values repeated, a line break ending each: 23 does not divide the 1024-byte reads.
inline std::string patterned(std::size_t size, std::size_t period = 23)
{
    std::string text(size, '\n');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = i % period == period - 1 ? '\n' : static_cast<char>('a' + i % period);
    }
    return text;
}

/// Standard output and error captured while it lives: what a run in this process writes.
struct CapturedConsole
{
    CapturedConsole() : out(std::cout.rdbuf(outText.rdbuf())), err(std::cerr.rdbuf(errText.rdbuf())) {}
    ~CapturedConsole()
    {
        std::cout.rdbuf(out);
        std::cerr.rdbuf(err);
    }

    std::ostringstream outText, errText;
    std::streambuf* const out;
    std::streambuf* const err;
};

/// The emulator the agent runs under (YULT_AGENT_LAUNCHER, as qemu-user), or empty.
inline std::string agentEmulatedBy()
{
    const char* launcher = std::getenv("YULT_AGENT_LAUNCHER");
    return launcher != nullptr ? launcher : "";
}

/// How many connections wait in the listen queue of `port` (a listener's receive queue), -1: no listener.
inline long listenQueue(int port)
{
    char listener[32];
    std::snprintf(listener, sizeof(listener), "00000000:%04X 00000000:0000 0A ", port);
    const std::string table = readFile("/proc/net/tcp");
    const auto at = table.find(listener);
    return at == std::string::npos ? -1 : std::stol(table.substr(at + std::strlen(listener) + 9, 8), nullptr, 16);
}

/// Whether `done` holds within 5 s, asked every `step`: for what the kernel announces to no one.
template <typename Done>
bool eventually(const Done& done, std::chrono::microseconds step = 100us)
{
    for (const auto until = std::chrono::steady_clock::now() + 5s; !done(); std::this_thread::sleep_for(step)) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
    }
    return true;
}

/// Stops (or continues) the process and waits until /proc shows it so (waitpid is ChildProcess's).
inline bool setStopped(pid_t pid, bool stopped)
{
    kill(pid, stopped ? SIGSTOP : SIGCONT);
    return eventually([stat = "/proc/" + std::to_string(pid) + "/stat", stopped] {
        const std::string text = readFile(stat);
        const auto end = text.rfind(')');
        return (end != std::string::npos && text.compare(end, 4, ") T ") == 0) == stopped;
    });
}

/// The test process is the profiled application: listed by the lifecycle-tool stand-in, signalled, connecting.
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

    /// Sends a message the agent does not answer and waits until the agent has taken it.
    void sendSettled(std::string_view bytes) { app.sendSettled(bytes, *agent); }

    Registry registry;
    AppPeer app;
    std::unique_ptr<ChildProcess> agent;
};

} // namespace YultTest
