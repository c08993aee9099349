#include "AppPeer.h"

#include <arpa/inet.h>
#include <csignal>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace YultTest {

namespace {

bool readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
}

// Blocked before gtest or anything else can start a thread, so every thread inherits it.
const bool blockedAtLoad = (blockProfilerSignal(), true);

} // namespace

bool AppPeer::connected() const
{
    tcp_info info{};
    socklen_t length = sizeof(info);
    return getsockopt(socketFd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           (info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT);
}

void blockProfilerSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

AppPeer::AppPeer()
{
    (void)blockedAtLoad;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd < 0) {
        throw std::runtime_error("signalfd failed");
    }
    // A signal left over from an earlier agent run in this process is not ours.
    while (awaitSignalValue(0ms) != -1) {
    }
}

AppPeer::~AppPeer()
{
    close();
    ::close(signalFd);
}

int AppPeer::awaitSignalValue(std::chrono::milliseconds timeout)
{
    signalfd_siginfo info{};
    if (!readable(signalFd, timeout) || read(signalFd, &info, sizeof(info)) != sizeof(info)) {
        return -1;
    }
    return info.ssi_int;
}

bool AppPeer::connectTo(int port)
{
    socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

void AppPeer::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    // Acknowledged by the agent's kernel means queued at the agent, and the agent woken.
    // A connection the agent has already reset keeps its count: nothing more will come.
    const auto until = std::chrono::steady_clock::now() + 5s;
    int unacknowledged = 1;
    while (ioctl(socketFd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && connected() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(100us); // polling interval; the kernel does not announce acks
    }
}

std::string AppPeer::receive(std::chrono::milliseconds timeout)
{
    char buffer[65536];
    if (!readable(socketFd, timeout)) {
        return {};
    }
    const ssize_t count = recv(socketFd, buffer, sizeof(buffer), 0);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

std::string AppPeer::receiveUntilClosed(std::chrono::milliseconds timeout)
{
    std::string all;
    const auto until = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (!readable(socketFd, left)) {
            break;
        }
        const ssize_t count = recv(socketFd, buffer, sizeof(buffer), 0);
        if (count <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(count));
    }
    return all;
}

void AppPeer::close()
{
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
}

} // namespace YultTest
