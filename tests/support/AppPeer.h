#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace YultTest {

using namespace std::chrono_literals;

/// The application's end of the link, played by the test process itself: it receives the
/// agent's real queued SIGUSR1 (kept blocked and read from a signalfd) and connects back.
class AppPeer
{
  public:
    AppPeer();
    ~AppPeer();
    AppPeer(const AppPeer&) = delete;
    AppPeer& operator=(const AppPeer&) = delete;

    /// The int value of the next SIGUSR1 queued to this process, or -1 on timeout.
    int awaitSignalValue(std::chrono::milliseconds timeout = 10s);
    /// Connects to the agent on 127.0.0.1.
    bool connectTo(int port);
    /// Sends the bytes in one write and waits until the agent's side has taken them in.
    void send(std::string_view bytes);
    /// What one read brings (up to 64 KiB); empty on end of stream or timeout.
    std::string receive(std::chrono::milliseconds timeout = 10s);
    /// Everything until the agent closes the connection (bounded by the timeout).
    std::string receiveUntilClosed(std::chrono::milliseconds timeout = 10s);
    void close();

  private:
    bool connected() const;

    int signalFd = -1;
    int socketFd = -1;
};

/// Blocks SIGUSR1 in the calling thread; call before any thread starts (done at load time).
void blockProfilerSignal();

} // namespace YultTest
