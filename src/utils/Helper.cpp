#include "utils/Helper.h"

#include "utils/Command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace YultService::Utils {

using CommandLineOption::Command;

bool Helper::tulmProcessExists(int pid)
{
    try {
        std::ostringstream command;
        command << "tulm list | grep -w " << pid;
        const auto result = Command::execute(command.str());
        return result.exitStatus == 0 && !result.output.empty();
    } catch (const std::exception&) {
        return false;
    }
}

bool Helper::psProcessExists(int pid)
{
    try {
        const auto result = Command::execute("ps -Aef");
        return result.exitStatus == 0 && listsAppUserProcess(result.output, pid);
    } catch (const std::exception&) {
        return false;
    }
}

bool Helper::listsAppUserProcess(const std::string& listing, int pid)
{
    const std::regex appUserProcess(R"(^app_user\s+(\d+)\s+\d+)");
    std::istringstream lines(listing);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (!std::regex_search(line, match, appUserProcess)) {
            continue;
        }
        try {
            if (std::stoi(match[1].str()) == pid) {
                return true;
            }
        } catch (const std::exception&) {
            // a pid column too long for an int is not this pid
        }
    }
    return false;
}

bool Helper::isPortOccupied(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    const int bound = bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    close(probe);
    return bound != 0;
}

int Helper::getFreePort(int from)
{
    for (int port = from; port <= 65535; ++port) {
        if (!isPortOccupied(port)) {
            return port;
        }
    }
    return -1;
}

bool Helper::fileExists(const std::string& path)
{
    struct stat info = {};
    return lstat(path.c_str(), &info) == 0;
}

std::streampos Helper::filesize(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info = {};
    const bool known = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    return known ? std::streampos(info.st_size) : std::streampos(-1);
}

} // namespace YultService::Utils
