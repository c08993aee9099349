#include "guard/PeerAccess.h"

#include "guard/ProcFiles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace YultService::Guard {

namespace {

using Lookup = PeerAccess::Lookup;

struct DiagMessage
{
    nlmsghdr header;
    inet_diag_req_v2 request;
};

std::uint32_t networkOrder(const asio::ip::address_v4& address)
{
    const auto bytes = address.to_bytes();
    std::uint32_t raw = 0;
    std::memcpy(&raw, bytes.data(), sizeof(raw));
    return raw;
}

// An IPv4 address in the four words of a diag address, plain or IPv4-mapped.
void putAddress(__be32 (&words)[4], std::uint32_t address, bool mapped)
{
    std::memset(words, 0, sizeof(words));
    if (mapped) {
        words[2] = htonl(0xffff);
        words[3] = address;
    } else {
        words[0] = address;
    }
}

bool holdsAddress(const __be32 (&words)[4], std::uint8_t family, std::uint32_t address)
{
    if (family == AF_INET) {
        return words[0] == address;
    }
    return family == AF_INET6 && words[0] == 0 && words[1] == 0 && words[2] == htonl(0xffff) && words[3] == address;
}

bool passes(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS || error == EINTR ||
           error == EAGAIN;
}

// One exact request on the diag socket; the kernel answers it before send returns.
Lookup ask(int fd, const PeerAccess::Connection& connection, bool mapped, std::uint32_t sequence)
{
    const std::string request = PeerAccess::diagRequest(connection, mapped, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) !=
        static_cast<ssize_t>(request.size())) {
        return {};
    }
    alignas(nlmsghdr) char reply[8192];
    const ssize_t size = recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
    return size > 0 ? PeerAccess::parseDiagReply(reply, static_cast<std::size_t>(size), connection, sequence)
                    : Lookup{};
}

Lookup lookUpByDiag(const PeerAccess::Connection& connection)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return {passes(errno) ? Lookup::Failed : Lookup::Unavailable};
    }
    // A peer on an IPv6 socket reaches our IPv4 listener through an IPv4-mapped address.
    Lookup lookup = ask(fd, connection, false, 1);
    if (lookup.status == Lookup::Missing) {
        lookup = ask(fd, connection, true, 2);
    }
    if (lookup.status == Lookup::Missing) {
        // The kernel says "no such socket" also when it has no TCP diag at all: our own end of
        // the connection exists, so asking for it tells the two apart.
        const PeerAccess::Connection ours{connection.own, connection.peer};
        if (ask(fd, ours, false, 3).status == Lookup::Missing) {
            lookup.status = Lookup::Unavailable;
        }
    }
    close(fd);
    return lookup;
}

Lookup lookUpInTables(const PeerAccess::Connection& connection)
{
    Lookup lookup{Lookup::Unavailable};
    for (const bool mapped : {false, true}) {
        const auto table = readProcFile(mapped ? "/proc/net/tcp6" : "/proc/net/tcp");
        if (!table) {
            if (errno != ENOENT) {
                lookup.status = Lookup::Failed;
            }
            continue;
        }
        const Lookup found = PeerAccess::tcpSocketOwner(*table, PeerAccess::tcpTableEndpoint(connection.peer, mapped),
                                                        PeerAccess::tcpTableEndpoint(connection.own, mapped));
        if (found.status == Lookup::Found) {
            return found;
        }
        lookup.status = lookup.status == Lookup::Unavailable ? Lookup::Missing : lookup.status;
    }
    return lookup;
}

} // namespace

bool PeerAccess::mayServe(const asio::ip::tcp::endpoint& peer, const asio::ip::tcp::endpoint& own, int pid)
{
    if (!peer.address().is_v4() || !own.address().is_v4()) {
        return false;
    }
    const Connection connection{{networkOrder(peer.address().to_v4()), peer.port()},
                                {networkOrder(own.address().to_v4()), own.port()}};
    return mayServe(lookUpPeer(connection), geteuid(), pid);
}

bool PeerAccess::mayServe(const Lookup& lookup, unsigned ownUid, int pid)
{
    switch (lookup.status) {
    case Lookup::Unavailable:
        return true;
    case Lookup::Missing:
    case Lookup::Failed:
        return false;
    case Lookup::Found:
        break;
    }
    if (lookup.inode == 0) {
        return false;
    }
    if (lookup.uid == 0 || lookup.uid == ownUid) {
        return true;
    }
    const auto targetUids = processIds(pid, "Uid:");
    return std::find(targetUids.begin(), targetUids.end(), lookup.uid) != targetUids.end();
}

PeerAccess::Lookup PeerAccess::lookUpPeer(const Connection& connection)
{
    const Lookup lookup = lookUpByDiag(connection);
    return lookup.status == Lookup::Unavailable ? lookUpInTables(connection) : lookup;
}

std::string PeerAccess::diagRequest(const Connection& connection, bool mapped, std::uint32_t sequence)
{
    DiagMessage message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = mapped ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    message.request.id.idiag_sport = htons(connection.peer.port);
    message.request.id.idiag_dport = htons(connection.own.port);
    putAddress(message.request.id.idiag_src, connection.peer.address, mapped);
    putAddress(message.request.id.idiag_dst, connection.own.address, mapped);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return std::string(reinterpret_cast<const char*>(&message), sizeof(message));
}

PeerAccess::Lookup PeerAccess::parseDiagReply(const char* reply, std::size_t size, const Connection& connection,
                                              std::uint32_t sequence)
{
    if (size < sizeof(nlmsghdr)) {
        return {};
    }
    nlmsghdr header{};
    std::memcpy(&header, reply, sizeof(header));
    if (header.nlmsg_len < sizeof(header) || header.nlmsg_len > size || header.nlmsg_seq != sequence) {
        return {};
    }
    const char* payload = reply + NLMSG_HDRLEN;
    const std::size_t length = header.nlmsg_len - std::min<std::size_t>(header.nlmsg_len, NLMSG_HDRLEN);
    if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error{};
        if (length < sizeof(error.error)) {
            return {};
        }
        std::memcpy(&error.error, payload, sizeof(error.error));
        return {error.error == -ENOENT ? Lookup::Missing : Lookup::Failed};
    }
    inet_diag_msg socket{};
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || length < sizeof(socket)) {
        return {};
    }
    std::memcpy(&socket, payload, sizeof(socket));
    const bool asked = socket.idiag_state != TCP_LISTEN && socket.id.idiag_sport == htons(connection.peer.port) &&
                       socket.id.idiag_dport == htons(connection.own.port) &&
                       holdsAddress(socket.id.idiag_src, socket.idiag_family, connection.peer.address) &&
                       holdsAddress(socket.id.idiag_dst, socket.idiag_family, connection.own.address);
    if (!asked) {
        return {Lookup::Missing};
    }
    return {Lookup::Found, socket.idiag_uid, socket.idiag_inode};
}

std::string PeerAccess::tcpTableEndpoint(const Endpoint& endpoint, bool mapped)
{
    // The kernel prints each 32-bit word of the address as it lies in memory, read as a host
    // number, so the same formatting of the same bytes matches on either byte order.
    std::uint32_t words[4] = {0, 0, 0, endpoint.address};
    const unsigned char mark[4] = {0, 0, 0xff, 0xff};
    std::memcpy(&words[2], mark, sizeof(mark));
    char text[48];
    if (mapped) {
        std::snprintf(text, sizeof(text), "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3],
                      endpoint.port);
    } else {
        std::snprintf(text, sizeof(text), "%08X:%04X", endpoint.address, endpoint.port);
    }
    return text;
}

PeerAccess::Lookup PeerAccess::tcpSocketOwner(const std::string& table, const std::string& local,
                                              const std::string& remote)
{
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, own, peer, state, queues, timer, retransmits;
        unsigned uid = 0;
        unsigned long timeout = 0;
        unsigned long inode = 0;
        if (fields >> slot >> own >> peer >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode &&
            own == local && peer == remote) {
            return {Lookup::Found, uid, inode};
        }
    }
    return {Lookup::Missing};
}

} // namespace YultService::Guard
