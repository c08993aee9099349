#pragma once

#include "Files.h"

#include <chrono>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace YultPeer {

using Environment = std::map<std::string, std::string>;

/// A child process started as the extension starts the agent: a clean signal mask, standard input
/// from /dev/null, standard output and error in files of its own; or standard output in a pipe,
/// for a child that announces itself there; or one of them in a pipe whose reader has gone or
/// never reads, as a caller that stops reading leaves it.
class ChildProcess
{
  public:
    enum class Output
    {
        Files,
        PipedOut,
        ClosedOut,  ///< standard output: a pipe without a reader
        ClosedErr,  ///< standard error: a pipe without a reader
        FullOut,    ///< standard output: a pipe of one page, full from the start, that this process never reads
        Merged,     ///< both outputs: one pipe that this process reads (readLine)
        FullMerged, ///< both outputs: one pipe of one page, full from the start, never read
    };

    /// argv[0] is looked up on PATH; `env` entries are added to (or replace) this process's own.
    explicit ChildProcess(const std::vector<std::string>& argv, const Environment& env = {},
                          Output output = Output::Files);
    /// Kills and reaps a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }
    /// Once: the exit status, or -1 on timeout (the child is then killed) or on death by a signal.
    int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(20), rusage* usage = nullptr);
    /// True while the child has not ended.
    bool alive() const;
    /// Waits until the child sleeps (or has ended), having taken everything it could.
    bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    /// The next line of a PipedOut child's standard output, without its newline; empty on
    /// timeout or at the end of the output.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// What the kernel names as the place the child sleeps in (/proc/<pid>/wchan).
    std::string sleepsIn() const;

    std::string out() const { return readFile(files.path + "/out"); }
    std::string err() const { return readFile(files.path + "/err"); }

  private:
    TempDir files;
    pid_t child = -1;
    int pidfd = -1;
    int outPipe = -1;
    std::string unread;
};

/// The agent's program file: YULT_AGENT, or the one built beside this library.
std::string agentFile();
/// The agent with these arguments, run through YULT_AGENT_LAUNCHER (words separated by blanks,
/// such as an emulator) when that is set.
std::vector<std::string> agentCommand(const std::vector<std::string>& arguments);
/// A file of the build tree: the simulator, the lifecycle tool stand-in's folder.
std::string builtFile(const std::string& name);
/// ChildProcess::waitIdle for any process of ours, such as the agent run under a launcher.
bool waitIdle(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace YultPeer
