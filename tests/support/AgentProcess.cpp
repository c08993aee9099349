#include "AgentProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace YultTest {

namespace {

std::vector<std::string> commandLine(const std::vector<std::string>& arguments)
{
    std::vector<std::string> line;
    if (const char* launcher = std::getenv("YULT_AGENT_LAUNCHER")) {
        std::istringstream words(launcher);
        for (std::string word; words >> word;) {
            line.push_back(word);
        }
    }
    const char* agent = std::getenv("YULT_AGENT");
    line.push_back(agent != nullptr ? agent : YULT_AGENT_PATH);
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

std::vector<std::string> environment(const std::map<std::string, std::string>& overrides)
{
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        merged[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const auto& [key, value] : overrides) {
        merged[key] = value;
    }
    std::vector<std::string> result;
    for (const auto& [key, value] : merged) {
        result.push_back(key + "=" + value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

char processState(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

} // namespace

AgentProcess::AgentProcess(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& env)
{
    static int counter = 0;
    const std::string stem = "/tmp/yult-agent-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    outPath = stem + ".out";
    errPath = stem + ".err";

    auto argv = commandLine(arguments);
    auto envp = environment(env);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The test process blocks SIGUSR1 to receive it; the agent must start with a clean mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int failed = posix_spawnp(&child, argv[0].c_str(), &files, &attributes, pointers(argv).data(),
                                    pointers(envp).data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

AgentProcess::~AgentProcess()
{
    if (exitStatus == -2) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
}

int AgentProcess::waitExit(std::chrono::milliseconds timeout)
{
    if (exitStatus != -2) {
        return exitStatus;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd exited{pidfd, POLLIN, 0};
    const bool done = pidfd >= 0 && poll(&exited, 1, static_cast<int>(timeout.count())) == 1;
    close(pidfd);
    if (!done) {
        return -1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exitStatus;
}

bool AgentProcess::waitIdle(std::chrono::milliseconds timeout) const
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        const char state = processState(child);
        if (state == 'S' || state == 'Z' || state == '?') {
            return true;
        }
        std::this_thread::sleep_for(1ms); // polling interval for a state the kernel does not announce
    }
    return false;
}

std::string AgentProcess::out() const { return readFile(outPath); }

std::string AgentProcess::err() const { return readFile(errPath); }

TempDir::TempDir()
{
    char pattern[] = "/tmp/yult-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = made;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content, bool executable)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

} // namespace YultTest
