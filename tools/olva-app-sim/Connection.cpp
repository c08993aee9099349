#include "Connection.h"

#include "Support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace OlvaAppSim {
namespace {

// The agent answers within seconds; past this it is gone and the
// conversation is abandoned rather than left hanging.
constexpr time_t ioTimeoutSeconds = 35;
constexpr std::size_t messageReadSize = 1024;

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool configure(int fd)
{
    const int on = 1;
    const timeval timeout{ioTimeoutSeconds, 0};
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

} // namespace

std::optional<Connection> Connection::open(int port)
{
    Connection connection(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connection.fd < 0 || !configure(connection.fd)) {
        logLine(systemError("cannot create socket"));
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        logLine(systemError("cannot connect to 127.0.0.1:" + std::to_string(port)));
        return std::nullopt;
    }
    logLine("connected to 127.0.0.1:" + std::to_string(port));
    return connection;
}

Connection::Connection(Connection&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

Connection::~Connection()
{
    if (fd >= 0) {
        close(fd);
    }
}

bool Connection::sendAll(const char* data, std::size_t size)
{
    while (size > 0) {
        // MSG_NOSIGNAL: an agent that went away must not kill the app with SIGPIPE.
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            logLine(systemError("send failed"));
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool Connection::sendMessage(const std::string& text)
{
    if (!sendAll(text.data(), text.size())) {
        return false;
    }
    logLine("sent \"" + text + "\"");
    return true;
}

bool Connection::sendStream(const std::string& data, std::size_t chunk)
{
    std::size_t writes = 0;
    for (std::size_t offset = 0; offset < data.size(); offset += chunk, ++writes) {
        if (!sendAll(data.data() + offset, std::min(chunk, data.size() - offset))) {
            return false;
        }
    }
    logLine("sent payload of " + std::to_string(data.size()) + " bytes in " + std::to_string(writes) + " writes");
    return true;
}

long Connection::receiveSome(char* buffer, std::size_t size)
{
    ssize_t received = 0;
    do {
        received = recv(fd, buffer, size, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        logLine("timed out waiting for the agent");
    } else if (received < 0) {
        logLine(systemError("recv failed"));
    }
    return static_cast<long>(received);
}

std::optional<std::string> Connection::receiveMessage()
{
    char buffer[messageReadSize];
    const long received = receiveSome(buffer, sizeof buffer);
    if (received == 0) {
        logLine("agent closed the connection");
    }
    if (received <= 0) {
        return std::nullopt;
    }
    std::string message(buffer, static_cast<std::size_t>(received));
    logLine("received \"" + message + "\"");
    return message;
}

bool Connection::expect(const std::string& text)
{
    const std::optional<std::string> message = receiveMessage();
    if (message && *message != text) {
        logLine("expected \"" + text + "\", giving up on this conversation");
    }
    return message == text;
}

std::optional<std::string> Connection::receiveUntilEof()
{
    std::string text;
    char buffer[messageReadSize];
    for (;;) {
        const long received = receiveSome(buffer, sizeof buffer);
        if (received < 0) {
            return std::nullopt;
        }
        if (received == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(received));
    }
}

} // namespace OlvaAppSim
