// The TCP link to the agent. Messages carry no framing: each is one write on
// our side and one read on the agent's, so they must never be split or merged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace OlvaAppSim {

class Connection
{
  public:
    // Connects to the agent on 127.0.0.1:port; logs and returns nothing on failure.
    static std::optional<Connection> open(int port);

    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&&) = delete;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    bool sendMessage(const std::string& text);
    // Streams a payload in writes of at most `chunk` bytes.
    bool sendStream(const std::string& data, std::size_t chunk);
    // One read, as the agent writes one message per write.
    std::optional<std::string> receiveMessage();
    // Receives one message and checks that it is exactly `text`.
    bool expect(const std::string& text);
    // Everything the agent sends until it closes.
    std::optional<std::string> receiveUntilEof();

  private:
    explicit Connection(int descriptor) : fd(descriptor) {}
    bool sendAll(const char* data, std::size_t size);
    // recv() that logs failures; 0 means the agent closed, -1 a failure.
    long receiveSome(char* buffer, std::size_t size);

    int fd;
};

} // namespace OlvaAppSim
