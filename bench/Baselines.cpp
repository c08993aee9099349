#include "Baselines.h"

#include "Sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace YultBench {

namespace {

const std::string reply = "received";
const std::string filePath = "/tmp/yult-bench-" + std::to_string(getpid()) + ".yardstick";

// A listener on an ephemeral loopback port; its port in `port`.
int listenOnLoopback(int& port)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("yardstick: no loopback listener");
    }
    port = ntohs(address.sin_port);
    return listener;
}

// The C-style receive loop the agent is measured against. Runs in the forked child only.
bool receiveToFile(int connection, std::size_t recvSize, std::size_t size)
{
    static char stdioBuffer[4096];
    FILE* file = std::fopen(filePath.c_str(), "wb");
    if (file == nullptr || std::setvbuf(file, stdioBuffer, _IOFBF, sizeof(stdioBuffer)) != 0) {
        return false;
    }
    std::vector<char> buffer(recvSize);
    for (std::size_t received = 0; received < size;) {
        const ssize_t count = recv(connection, buffer.data(), recvSize, 0);
        if (count <= 0) {
            return false;
        }
        const std::size_t keep = std::min(static_cast<std::size_t>(count), size - received);
        if (std::fwrite(buffer.data(), 1, keep, file) != keep) {
            return false;
        }
        received += static_cast<std::size_t>(count);
    }
    return std::fclose(file) == 0;
}

[[noreturn]] void serveOne(int listener, std::size_t recvSize, std::size_t size)
{
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0 || !receiveToFile(connection, recvSize, size)) {
        _exit(1);
    }
    send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    // Whatever followed the content (the marker) is read, so the close is an orderly one.
    shutdown(connection, SHUT_WR);
    char rest[1024];
    while (recv(connection, rest, sizeof(rest), 0) > 0) {
    }
    _exit(0);
}

// Waits at most 20 s for the child (killed after that); its status, -1 when it was killed.
int reap(pid_t child, rusage& usage)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd ended{pidfd, POLLIN, 0};
    const bool done = pidfd >= 0 && poll(&ended, 1, 20000) == 1;
    close(pidfd);
    if (!done) {
        kill(child, SIGKILL);
    }
    int status = 0;
    wait4(child, &status, 0, &usage);
    return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

} // namespace

Reception runYardstick(YultPeer::AppPeer& peer, std::size_t recvSize, std::size_t size)
{
    int port = 0;
    const int listener = listenOnLoopback(port);
    const pid_t child = fork();
    if (child == 0) {
        serveOne(listener, recvSize, size);
    }
    close(listener);
    Delivery delivery;
    try {
        if (child > 0 && peer.connectTo(port)) {
            delivery = deliver(peer, size);
        }
    } catch (const std::runtime_error&) {
        // reported below as a failed yardstick, once the child is reaped
    }
    peer.close();
    rusage usage{};
    const int status = child > 0 ? reap(child, usage) : -1;
    const bool stored = holdsDelivery(filePath, size);
    std::remove(filePath.c_str());
    if (status != 0 || delivery.reply != reply || !stored) {
        throw std::runtime_error("yardstick with " + std::to_string(recvSize) + "-byte recv calls failed");
    }
    return {delivery.seconds, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

} // namespace YultBench
