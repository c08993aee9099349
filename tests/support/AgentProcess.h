#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace YultTest {

using namespace std::chrono_literals;

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& content, bool executable = false)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

/// A scratch directory under /tmp, removed with its contents.
struct TempDir
{
    TempDir()
    {
        if (mkdtemp(path.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path = "/tmp/yult-test-XXXXXX";
};

/// The agent's program file: YULT_AGENT, or the one built here.
inline std::string agentFile()
{
    const char* agent = std::getenv("YULT_AGENT");
    return agent != nullptr ? agent : YULT_AGENT_PATH;
}

/// The real agent run as a child process, its output captured in files. YULT_AGENT_LAUNCHER
/// (space-separated) runs it through an emulator such as qemu-user.
class AgentProcess
{
  public:
    /// env entries are added to (or replace) the test's own.
    AgentProcess(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& env = {})
    {
        const char* launcher = std::getenv("YULT_AGENT_LAUNCHER");
        std::istringstream words(launcher != nullptr ? launcher : "");
        std::vector<std::string> line{std::istream_iterator<std::string>(words), {}};
        line.push_back(agentFile());
        line.insert(line.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv(line.size() + 1);
        std::transform(line.begin(), line.end(), argv.begin(), [](std::string& word) { return word.data(); });
        // The test process is single-threaded, so the child may allocate before exec.
        if ((child = fork()) == 0) {
            // The test process blocks SIGUSR1 to receive it; the agent must start with a clean mask.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const auto& [key, value] : env) {
                setenv(key.c_str(), value.c_str(), 1);
            }
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(open((files.path + "/out").c_str(), O_WRONLY | O_CREAT, 0644), 1);
            dup2(open((files.path + "/err").c_str(), O_WRONLY | O_CREAT, 0644), 2);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    }

    ~AgentProcess()
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(pidfd);
    }

    /// Once: the exit status, or -1 on timeout or death by a signal.
    int waitExit(std::chrono::milliseconds timeout = 20s)
    {
        pollfd exited{pidfd, POLLIN, 0};
        int status = 0;
        if (child <= 0 || poll(&exited, 1, static_cast<int>(timeout.count())) != 1 ||
            waitpid(child, &status, 0) != child) {
            return -1;
        }
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    /// Waits until the agent sleeps again, having taken everything it could.
    bool waitIdle() const
    {
        for (const auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
            const std::string stat = readFile("/proc/" + std::to_string(child) + "/stat");
            const auto state = stat.rfind(") ");
            if (state == std::string::npos || stat[state + 2] == 'S' || stat[state + 2] == 'Z') {
                return true;
            }
            std::this_thread::sleep_for(1ms); // polling interval for a state the kernel does not announce
        }
        return false;
    }

    std::string out() const { return readFile(files.path + "/out"); }
    std::string err() const { return readFile(files.path + "/err"); }

  private:
    TempDir files;
    int child = -1;
    int pidfd = -1;
};

} // namespace YultTest
