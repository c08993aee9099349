#pragma once

#include "AgentProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

namespace YultTest {

// Blocked before gtest or anything else can start a thread, so every thread inherits it.
inline const sigset_t profilerSignal = [] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}();

inline bool readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
}

/// What an application sends after the content of a transfer.
inline const std::string marker = "profiler-trace-data-end";

/// Repeats `period` byte values, each period closed by a line break. A period of 23 does not divide
/// the agent's 1024-byte reads, so a shifted or lost byte shows; one of 257 holds every byte value.
inline std::string patterned(std::size_t size, std::size_t period = 23)
{
    std::string text(size, '\n');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = i % period == period - 1 ? '\n' : static_cast<char>('a' + i % period);
    }
    return text;
}

/// The application's end of the link, played by the test process itself: it receives the agent's
/// real queued SIGUSR1 (blocked from load time on and read from a signalfd) and connects back.
class AppPeer
{
  public:
    ~AppPeer()
    {
        close();
        ::close(signalFd);
    }

    /// The int value of the next SIGUSR1 queued to this process, or -1 on timeout.
    int awaitSignalValue(std::chrono::milliseconds timeout = 10s)
    {
        signalfd_siginfo info{};
        if (!readable(signalFd, timeout) || read(signalFd, &info, sizeof(info)) != sizeof(info)) {
            return -1;
        }
        return info.ssi_int;
    }

    bool connectTo(int port)
    {
        socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        return connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }

    /// Sends the bytes in one write and waits until the agent's side has taken them in.
    void send(std::string_view bytes)
    {
        // SIGUSR1 is blocked and no other signal is expected, so a blocking send takes it all at once.
        ::send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        // Acknowledged by the agent's kernel means queued at the agent, and the agent woken.
        // A connection the agent has already reset keeps its count: nothing more will come.
        const auto until = std::chrono::steady_clock::now() + 5s;
        int unacknowledged = 0;
        tcp_info info{};
        socklen_t length = sizeof(info);
        while (ioctl(socketFd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 &&
               getsockopt(socketFd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
               (info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(100us); // polling interval; the kernel does not announce acks
        }
    }

    /// What one read brings (up to 64 KiB); empty on end of stream or timeout.
    std::string receive(std::chrono::milliseconds timeout = 10s)
    {
        char buffer[65536];
        const ssize_t count = readable(socketFd, timeout) ? recv(socketFd, buffer, sizeof(buffer), 0) : 0;
        return std::string(buffer, count > 0 ? static_cast<std::size_t>(count) : 0);
    }

    /// Everything until the agent closes the connection (or sends nothing for 10 s).
    std::string receiveUntilClosed()
    {
        std::string all;
        for (std::string piece = receive(); !piece.empty(); piece = receive()) {
            all += piece;
        }
        return all;
    }

    void close()
    {
        ::close(socketFd);
        socketFd = -1;
    }

  private:
    int signalFd = signalfd(-1, &profilerSignal, SFD_CLOEXEC);
    int socketFd = -1;
};

/// The test process is the profiled application: the lifecycle-tool stand-in lists its pid,
/// it receives the agent's signal and talks to the agent over loopback.
class LinkFixture : public ::testing::Test
{
  protected:
    LinkFixture() { writeFile(tulmHome.path + "/apps/" + std::to_string(getpid()), "com.olva.test"); }

    /// Runs the agent against this process with the given options after -P <own pid>.
    void startAgent(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"-P", std::to_string(getpid())});
        const char* path = std::getenv("PATH");
        const std::string tools = YULT_BUILD_DIR "/tulm-bin:" + std::string(path != nullptr ? path : "/usr/bin:/bin");
        agent = std::make_unique<AgentProcess>(
            options, std::map<std::string, std::string>{{"PATH", tools}, {"TULM_HOME", tulmHome.path}});
    }

    /// Starts the agent, takes its signal and connects; returns the port the signal carried.
    int connectAgent(const std::vector<std::string>& options)
    {
        startAgent(options);
        const int port = app.awaitSignalValue();
        EXPECT_GT(port, 0) << agent->err();
        EXPECT_TRUE(app.connectTo(port));
        return port;
    }

    /// hello / hello / handshake-success-ack, then the agent's command.
    std::string handshake()
    {
        app.send("hello");
        EXPECT_EQ(app.receive(), "hello");
        app.send("handshake-success-ack");
        return app.receive();
    }

    /// Sends a message the agent does not answer and waits until the agent has taken it.
    void sendSettled(std::string_view bytes)
    {
        app.send(bytes);
        ASSERT_TRUE(agent->waitIdle());
    }

    TempDir tulmHome;
    AppPeer app;
    std::unique_ptr<AgentProcess> agent;
};

} // namespace YultTest
