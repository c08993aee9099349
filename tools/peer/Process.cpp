#include "Process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace YultPeer {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const Environment& overrides)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (overrides.count(text.substr(0, text.find('='))) == 0) {
            merged.push_back(text);
        }
    }
    for (const auto& [key, value] : overrides) {
        merged.push_back(key + "=" + value);
    }
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), result.begin(), [](std::string& s) { return s.data(); });
    return result;
}

bool readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
}

// Signals at their defaults and none blocked, whatever this process does with them.
void cleanSignals(posix_spawnattr_t& attributes)
{
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGUSR1);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

using Output = ChildProcess::Output;

// The pipe a child's piped output goes to; both ends -1 for a child that writes to files.
struct OutputPipe
{
    int readEnd = -1;
    int writeEnd = -1;
};

// A pipe of one page, full before the child starts: the child's first write to it blocks.
void fill(const OutputPipe& ends)
{
    fcntl(ends.readEnd, F_SETPIPE_SZ, 4096);
    const std::string filler(4096, '.');
    fcntl(ends.writeEnd, F_SETFL, O_NONBLOCK);
    if (write(ends.writeEnd, filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
        throw std::runtime_error("cannot fill the pipe");
    }
    fcntl(ends.writeEnd, F_SETFL, 0);
}

OutputPipe openOutputPipe(Output output)
{
    if (output == Output::Files) {
        return {};
    }
    int pipeEnds[2] = {-1, -1};
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    OutputPipe ends{pipeEnds[0], pipeEnds[1]};
    if (output == Output::ClosedOut || output == Output::ClosedErr) {
        close(ends.readEnd); // gone before the child can write
        ends.readEnd = -1;
    }
    if (output == Output::FullOut || output == Output::FullMerged) {
        fill(ends);
    }
    return ends;
}

// Standard input from /dev/null; each output into the pipe or into its own file in `dir`.
void redirect(posix_spawn_file_actions_t& actions, Output output, int pipeWriteEnd, const std::string& dir)
{
    const bool piped = output != Output::Files;
    const int pipedFd = output == Output::ClosedErr ? 2 : 1;
    const bool merged = output == Output::Merged || output == Output::FullMerged;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (const int fd : {1, 2}) {
        if (piped && (fd == pipedFd || merged)) {
            posix_spawn_file_actions_adddup2(&actions, pipeWriteEnd, fd);
        } else {
            const std::string file = dir + (fd == 1 ? "/out" : "/err");
            posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT, 0644);
        }
    }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env, Output output)
{
    const OutputPipe ends = openOutputPipe(output);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    redirect(actions, output, ends.writeEnd, files.path);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    cleanSignals(attributes);
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = mergedEnvironment(env);
    const int failed = posix_spawnp(&child, args[0].c_str(), &actions, &attributes, pointers(args).data(),
                                    pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends.writeEnd);
    outPipe = ends.readEnd;
    if (failed != 0) {
        child = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
}

ChildProcess::~ChildProcess()
{
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(pidfd);
    close(outPipe);
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout, rusage* usage)
{
    if (child <= 0) {
        return -1;
    }
    const bool ended = readable(pidfd, timeout);
    if (!ended) {
        kill(child, SIGKILL);
    }
    int status = 0;
    const bool reaped = wait4(child, &status, 0, usage) == child;
    child = -1;
    return ended && reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::alive() const { return child > 0 && !readable(pidfd, std::chrono::milliseconds(0)); }

bool ChildProcess::waitIdle(std::chrono::milliseconds timeout) const { return YultPeer::waitIdle(child, timeout); }

std::string ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto until = Clock::now() + timeout;
    while (unread.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        char buffer[4096];
        const ssize_t count = left.count() > 0 && readable(outPipe, left) ? read(outPipe, buffer, sizeof(buffer)) : 0;
        if (count <= 0) {
            return "";
        }
        unread.append(buffer, static_cast<std::size_t>(count));
    }
    const auto newline = unread.find('\n');
    std::string line = unread.substr(0, newline);
    unread.erase(0, newline + 1);
    return line;
}

std::string ChildProcess::sleepsIn() const { return readFile("/proc/" + std::to_string(child) + "/wchan"); }

std::string agentFile()
{
    const char* agent = std::getenv("YULT_AGENT");
    return agent != nullptr ? agent : YULT_AGENT_PATH;
}

std::vector<std::string> agentCommand(const std::vector<std::string>& arguments)
{
    const char* launcher = std::getenv("YULT_AGENT_LAUNCHER");
    std::istringstream words(launcher != nullptr ? launcher : "");
    std::vector<std::string> command{std::istream_iterator<std::string>(words), {}};
    command.push_back(agentFile());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string builtFile(const std::string& name) { return YULT_BUILD_DIR "/" + name; }

bool waitIdle(pid_t pid, std::chrono::milliseconds timeout)
{
    for (const auto until = Clock::now() + timeout; Clock::now() < until;) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto state = stat.rfind(") ");
        if (state == std::string::npos || stat[state + 2] == 'S' || stat[state + 2] == 'Z') {
            return true;
        }
        // The kernel announces no change of a process's state: look again shortly.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

} // namespace YultPeer
