#include "guard/ProcFiles.h"

#include <cerrno>
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

std::vector<unsigned> processIds(int pid, const std::string& key)
{
    std::vector<unsigned> ids;
    const auto status = readProcFile(processPath(pid) + "/status");
    const auto at = status ? status->find("\n" + key) : std::string::npos;
    if (at != std::string::npos) {
        const auto from = at + 1 + key.size();
        std::istringstream fields(status->substr(from, status->find('\n', from) - from));
        for (unsigned id = 0; fields >> id;) {
            ids.push_back(id);
        }
    }
    return ids;
}

} // namespace YultService::Guard
