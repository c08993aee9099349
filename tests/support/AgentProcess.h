#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace YultTest {

using namespace std::chrono_literals;

/// The real agent binary run as a child process, its output captured in files.
/// YULT_AGENT overrides the binary; YULT_AGENT_LAUNCHER (space-separated) runs it through
/// an emulator such as qemu-user.
class AgentProcess
{
  public:
    /// Starts the agent with the arguments; env entries are added to (or replace) the test's own.
    AgentProcess(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& env = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    /// Waits for the exit; returns the exit status, or -1 on timeout or death by a signal.
    int waitExit(std::chrono::milliseconds timeout = 20s);
    /// Waits until the agent sleeps again, having taken everything it could.
    bool waitIdle(std::chrono::milliseconds timeout = 10s) const;
    std::string out() const;
    std::string err() const;
    int pid() const { return child; }

  private:
    int child = -1;
    int exitStatus = -2;
    std::string outPath;
    std::string errPath;
};

/// A scratch directory under /tmp, removed with its contents.
struct TempDir
{
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, bool executable = false);

} // namespace YultTest
