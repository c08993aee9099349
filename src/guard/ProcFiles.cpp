#include "guard/ProcFiles.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace YultService::Guard {

std::optional<std::string> readProcFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    const int readError = errno;
    close(fd);
    errno = readError;
    return count < 0 ? std::nullopt : std::optional<std::string>(text);
}

std::string processPath(int pid) { return "/proc/" + std::to_string(pid); }

std::vector<std::string> threadIds(int pid)
{
    std::vector<std::string> ids;
    DIR* tasks = opendir((processPath(pid) + "/task").c_str());
    if (tasks == nullptr) {
        return ids;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ids.emplace_back(entry->d_name);
        }
    }
    closedir(tasks);
    return ids;
}

std::optional<std::string> statusField(const std::string& status, const std::string& key)
{
    for (std::size_t line = 0; line < status.size();) {
        const auto end = std::min(status.find('\n', line), status.size());
        if (status.compare(line, key.size(), key) == 0) {
            return status.substr(line + key.size(), end - line - key.size());
        }
        line = end + 1;
    }
    return std::nullopt;
}

char statusState(const std::string& status)
{
    const auto state = statusField(status, "State:").value_or("");
    const auto letter = state.find_first_not_of(" \t");
    return letter == std::string::npos ? '?' : state[letter];
}

std::vector<unsigned> statusNumbers(const std::string& status, const std::string& key)
{
    std::vector<unsigned> values;
    std::istringstream fields(statusField(status, key).value_or(""));
    for (unsigned value = 0; fields >> value;) {
        values.push_back(value);
    }
    return values;
}

std::optional<bool> profilerSignalInMask(const std::string& status, const std::string& key)
{
    const auto mask = statusField(status, key);
    if (!mask) {
        return std::nullopt;
    }
    return (std::strtoull(mask->c_str(), nullptr, 16) >> (SIGUSR1 - 1) & 1U) != 0;
}

} // namespace YultService::Guard
