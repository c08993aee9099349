#include "AppPeer.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace YultPeer {

namespace {

bool readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
}

// Unacknowledged bytes of a connection that can still be acknowledged.
bool awaitingAcknowledgement(int fd)
{
    int unacknowledged = 0;
    tcp_info info{};
    socklen_t length = sizeof(info);
    return ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 &&
           getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           (info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT);
}

} // namespace

const sigset_t& blockProfilerSignal()
{
    static const sigset_t set = [] {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        return usr1;
    }();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

AppPeer::AppPeer() : signalFd(signalfd(-1, &blockProfilerSignal(), SFD_CLOEXEC)) {}

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

bool AppPeer::connectTo(int port, bool mapped)
{
    close();
    socketFd = socket(mapped ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const timeval bound{20, 0};
    setsockopt(socketFd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    if (mapped) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr);
        return connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

void AppPeer::send(std::string_view bytes)
{
    ::send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    // A connection the agent has reset keeps its count: nothing more will be acknowledged.
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         awaitingAcknowledgement(socketFd) && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(100us); // the kernel announces no acknowledgement
    }
}

void AppPeer::sendSettled(std::string_view bytes, const ChildProcess& agent)
{
    send(bytes);
    agent.waitIdle();
}

bool AppPeer::stream(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

std::string AppPeer::receive(std::chrono::milliseconds timeout)
{
    char buffer[65536];
    const ssize_t count = readable(socketFd, timeout) ? recv(socketFd, buffer, sizeof(buffer), 0) : 0;
    return std::string(buffer, count > 0 ? static_cast<std::size_t>(count) : 0);
}

std::string AppPeer::receiveUntilClosed()
{
    std::string all;
    for (std::string piece = receive(); !piece.empty(); piece = receive()) {
        all += piece;
    }
    return all;
}

bool AppPeer::closedUnanswered(std::chrono::milliseconds timeout)
{
    char byte = 0;
    return readable(socketFd, timeout) && recv(socketFd, &byte, 1, 0) <= 0;
}

std::string AppPeer::handshake()
{
    send("hello");
    if (receive() != "hello") {
        return "";
    }
    send("handshake-success-ack");
    return receive();
}

void AppPeer::close()
{
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
}

namespace {

// A one-byte message that carries one descriptor (SCM_RIGHTS) or room for one.
struct RightsMessage
{
    RightsMessage()
    {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
    }
    char byte = 'c';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
};

} // namespace

bool AppPeer::handOver(int via) const
{
    RightsMessage handed;
    cmsghdr* rights = CMSG_FIRSTHDR(&handed.message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &socketFd, sizeof(int));
    return socketFd >= 0 && sendmsg(via, &handed.message, MSG_NOSIGNAL) == 1;
}

bool AppPeer::takeOver(int via, std::chrono::milliseconds timeout)
{
    close();
    RightsMessage taken;
    if (!readable(via, timeout) || recvmsg(via, &taken.message, MSG_CMSG_CLOEXEC) != 1) {
        return false;
    }
    const cmsghdr* rights = CMSG_FIRSTHDR(&taken.message);
    if (rights == nullptr || rights->cmsg_type != SCM_RIGHTS || rights->cmsg_len != CMSG_LEN(sizeof(int))) {
        return false;
    }
    std::memcpy(&socketFd, CMSG_DATA(rights), sizeof(int));
    return true;
}

void AppPeer::reset()
{
    const linger abortive{1, 0};
    setsockopt(socketFd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    close();
}

int firstFreePort(int from)
{
    for (int port = from; port <= 65535; ++port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool bound = bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        ::close(probe);
        if (bound) {
            return port;
        }
    }
    return -1;
}

void Registry::add(pid_t pid, const std::string& name) const
{
    writeFile(home.path + "/apps/" + std::to_string(pid), name);
}

Environment Registry::environment() const
{
    const char* path = std::getenv("PATH");
    return {{"PATH", builtFile("tulm-bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
            {"TULM_HOME", home.path}};
}

Simulator::Simulator(const Registry& registry, const std::vector<std::string>& options)
    : process(
          [&options] {
              std::vector<std::string> argv{builtFile("olva-app-sim")};
              argv.insert(argv.end(), options.begin(), options.end());
              return argv;
          }(),
          registry.environment(), ChildProcess::Output::PipedOut)
{
    isReady = process.readLine().find(" ready") != std::string::npos;
}

} // namespace YultPeer
