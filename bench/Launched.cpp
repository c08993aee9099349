#include "Launched.h"

#include <sstream>

namespace YultBench {

namespace {

std::vector<std::string> underLauncher(const std::string& report, const std::vector<std::string>& command)
{
    std::vector<std::string> argv{YultPeer::builtFile("rss-launch"), report};
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

} // namespace

Launched::Launched(const std::vector<std::string>& command, const YultPeer::Environment& env)
    : launcher(underLauncher(files.path + "/usage", command), env)
{
}

pid_t Launched::commandPid() const
{
    const std::string self = std::to_string(launcher.pid());
    std::istringstream children(YultPeer::readFile("/proc/" + self + "/task/" + self + "/children"));
    pid_t child = -1;
    return children >> child ? child : -1;
}

Usage Launched::finish()
{
    Usage usage;
    const int status = launcher.waitExit();
    std::istringstream report(YultPeer::readFile(files.path + "/usage"));
    std::string maxRss;
    std::string user;
    std::string system;
    long userUs = 0;
    long systemUs = 0;
    if (report >> maxRss >> usage.maxRssKiB >> user >> userUs >> system >> systemUs) {
        usage.cpuSeconds = static_cast<double>(userUs + systemUs) / 1e6;
        usage.status = status;
    }
    return usage;
}

} // namespace YultBench
