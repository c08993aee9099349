#include "utils/Helper.h"

#include "utils/Command.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace YultService::Utils {

using CommandLineOption::Command;

namespace {

// A small /proc file, whole; nullopt when it cannot be opened or read.
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
    close(fd);
    return count < 0 ? std::nullopt : std::optional<std::string>(text);
}

std::string processPath(int pid) { return "/proc/" + std::to_string(pid); }

} // namespace

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

std::optional<bool> Helper::profilerSignalInMask(const std::string& status, const std::string& key)
{
    for (std::size_t line = 0; line < status.size();) {
        if (status.compare(line, key.size(), key) == 0) {
            const unsigned long long mask = std::strtoull(status.c_str() + line + key.size(), nullptr, 16);
            return (mask >> (SIGUSR1 - 1) & 1U) != 0;
        }
        const auto end = status.find('\n', line);
        line = end == std::string::npos ? status.size() : end + 1;
    }
    return std::nullopt;
}

bool Helper::isWaitingForSignals(const std::string& wchan, const std::string& stack, const std::string& syscall)
{
    // glibc's sigwaitinfo, sigtimedwait and sigwait all sleep in rt_sigtimedwait. wchan names
    // where a sleeping thread waits; the kernel stack names it also for a thread that has woken
    // and not run yet, whose mask still lacks the waited-for signals. Function names are no
    // interface, so the system call number is asked as well.
    if (wchan.find("sigtimedwait") != std::string::npos || stack.find("sigtimedwait") != std::string::npos) {
        return true;
    }
    char* end = nullptr;
    const long number = std::strtol(syscall.c_str(), &end, 10);
    if (end == syscall.c_str()) {
        return false; // "running", or nothing read
    }
#ifdef SYS_rt_sigtimedwait_time64
    if (number == SYS_rt_sigtimedwait_time64) {
        return true;
    }
#endif
    return number == SYS_rt_sigtimedwait;
}

bool Helper::profilerSignalCaughtOrIgnored(int pid)
{
    const auto status = readProcFile(processPath(pid) + "/status");
    if (!status) {
        return true;
    }
    const auto caught = profilerSignalInMask(*status, "SigCgt:");
    const auto ignored = profilerSignalInMask(*status, "SigIgn:");
    return !caught || !ignored || *caught || *ignored;
}

std::vector<std::string> Helper::threadsOf(int pid)
{
    std::vector<std::string> threads;
    DIR* tasks = opendir((processPath(pid) + "/task").c_str());
    if (tasks == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            threads.emplace_back(entry->d_name);
        }
    }
    closedir(tasks);
    return threads;
}

std::vector<std::string> Helper::threadsExposedToProfilerSignal(int pid, const std::vector<std::string>& threads)
{
    std::vector<std::string> exposed;
    for (const auto& thread : threads) {
        const std::string path = processPath(pid) + "/task/" + thread;
        const auto status = readProcFile(path + "/status");
        const auto blocked = status ? profilerSignalInMask(*status, "SigBlk:") : std::nullopt;
        if (!blocked || *blocked) {
            continue;
        }
        const auto wchan = readProcFile(path + "/wchan");
        const auto stack = readProcFile(path + "/stack");
        const auto syscall = readProcFile(path + "/syscall");
        const bool known = wchan || stack || syscall;
        if (known && !isWaitingForSignals(wchan.value_or(""), stack.value_or(""), syscall.value_or(""))) {
            exposed.push_back(thread);
        }
    }
    return exposed;
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
    throw std::runtime_error("Faile to find free port.");
}

std::string Helper::tcpTableEndpoint(std::uint32_t address, std::uint16_t port, bool mapped)
{
    // The kernel prints each 32-bit word of the address as it lies in memory, read as a host
    // number, so the same formatting of the same bytes matches on either byte order.
    std::uint32_t words[4] = {0, 0, 0, address};
    const unsigned char mark[4] = {0, 0, 0xff, 0xff};
    std::memcpy(&words[2], mark, sizeof(mark));
    char text[48];
    if (mapped) {
        std::snprintf(text, sizeof(text), "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3], port);
    } else {
        std::snprintf(text, sizeof(text), "%08X:%04X", address, port);
    }
    return text;
}

std::optional<unsigned> Helper::tcpSocketOwner(const std::string& table, const std::string& local,
                                               const std::string& remote)
{
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, own, peer, state, queues, timer, retransmits;
        unsigned uid = 0;
        if (fields >> slot >> own >> peer >> state >> queues >> timer >> retransmits >> uid && own == local &&
            peer == remote) {
            return uid;
        }
    }
    return std::nullopt;
}

Helper::PeerLookup Helper::lookUpPeer(std::uint32_t peerAddress, std::uint16_t peerPort, std::uint32_t ownAddress,
                                      std::uint16_t ownPort)
{
    // A peer on an IPv6 socket reaches our IPv4 listener through an IPv4-mapped address, and its
    // socket is then listed in tcp6.
    PeerLookup lookup;
    for (const bool mapped : {false, true}) {
        const auto table = readProcFile(mapped ? "/proc/net/tcp6" : "/proc/net/tcp");
        if (!table) {
            continue;
        }
        lookup.tablesRead = true;
        lookup.owner = tcpSocketOwner(*table, tcpTableEndpoint(peerAddress, peerPort, mapped),
                                      tcpTableEndpoint(ownAddress, ownPort, mapped));
        if (lookup.owner) {
            break;
        }
    }
    return lookup;
}

std::vector<unsigned> Helper::processUids(int pid)
{
    std::vector<unsigned> uids;
    const auto status = readProcFile(processPath(pid) + "/status");
    const auto at = status ? status->find("\nUid:") : std::string::npos;
    if (at != std::string::npos) {
        std::istringstream fields(status->substr(at + 5, status->find('\n', at + 1) - at - 5));
        for (unsigned uid = 0; fields >> uid;) {
            uids.push_back(uid);
        }
    }
    return uids;
}

bool Helper::fileExists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::streampos Helper::filesize(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    const bool known = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    return known ? std::streampos(info.st_size) : std::streampos(-1);
}

} // namespace YultService::Utils
