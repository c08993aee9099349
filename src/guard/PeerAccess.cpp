#include "guard/PeerAccess.h"

#include "guard/ProcFiles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

// A security module that forbids sock_diag forbids it on every call: the facility is absent.
bool forbidden(int error) { return error == EACCES || error == EPERM; }

Lookup failedWith(int error) { return {forbidden(error) ? Lookup::Unavailable : Lookup::Failed, 0, 0, error}; }

// One exact request on the diag socket; the kernel answers it before send returns.
Lookup ask(int fd, const PeerAccess::Connection& connection, bool mapped, std::uint32_t sequence)
{
    const std::string request = PeerAccess::diagRequest(connection, mapped, sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent =
        sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
    if (sent != static_cast<ssize_t>(request.size())) {
        return failedWith(sent < 0 ? errno : 0);
    }
    alignas(nlmsghdr) char reply[8192];
    const ssize_t size = recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
    if (size <= 0) {
        return failedWith(size < 0 ? errno : 0);
    }
    return PeerAccess::parseDiagReply(reply, static_cast<std::size_t>(size), connection, sequence);
}

Lookup lookUpByDiag(const PeerAccess::Connection& connection)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return {passes(errno) ? Lookup::Failed : Lookup::Unavailable, 0, 0, errno};
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
        const auto status = ask(fd, ours, false, 3).status;
        if (status == Lookup::Missing || status == Lookup::Unavailable) {
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
                lookup = {Lookup::Failed, 0, 0, errno};
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

// "socket:[" of a socket's link.
constexpr ssize_t socketPrefix = 8;

// How many connections wait in the listen queue of `listener`; 0 where it cannot be told.
unsigned waitingConnections(int listener)
{
    tcp_info info{};
    socklen_t size = sizeof(info);
    // For a listener the kernel gives the length of its queue in this field.
    const bool told = getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
                      size >= offsetof(tcp_info, tcpi_unacked) + sizeof(info.tcpi_unacked) &&
                      info.tcpi_state == TCP_LISTEN;
    return told ? info.tcpi_unacked : 0;
}

// A bound on the processes walked, against a fork bomb or a tree of pids reused under the walk.
constexpr std::size_t maxProcesses = 4096;

// Whether the descriptor directory `path` has a link `link`: 1, 0, or -1 with errno when its
// descriptors cannot be listed or read; on 0, `seen` has had every socket added. One
// readlink per descriptor, stopping at the first match.
int holds(const std::string& path, const char* link, std::size_t length, std::vector<unsigned long>& seen)
{
    const int dirFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dirFd < 0 ? nullptr : fdopendir(dirFd);
    if (dir == nullptr) {
        const int error = errno;
        if (dirFd >= 0) {
            close(dirFd);
        }
        errno = error;
        return -1;
    }
    int held = 0;
    char text[64];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const ssize_t size = readlinkat(dirFd, entry->d_name, text, sizeof(text));
        if (size == static_cast<ssize_t>(length) && std::memcmp(text, link, length) == 0) {
            held = 1;
            break;
        }
        if (size > socketPrefix && std::memcmp(text, link, socketPrefix) == 0) {
            seen.push_back(std::strtoul(text + socketPrefix, nullptr, 10)); // up to the closing bracket
        }
        // Reading a link may be refused where listing them was not (a security module).
        if (size < 0 && forbidden(errno)) {
            held = -1;
            break;
        }
    }
    const int error = errno;
    closedir(dir);
    errno = error;
    return held;
}

// Where the target's descriptors are listed. A leader that has exited (pthread_exit) while other
// threads run shows an empty /proc/<pid>/fd: the table its threads share is then listed under one
// of them.
std::string descriptorsOf(const TargetProcess& target)
{
    const std::string process = processPath(target.pid());
    if (target.currentState().state != 'Z') {
        return process + "/fd";
    }
    for (const auto& thread : target.threads()) {
        if (thread != std::to_string(target.pid())) {
            return process + "/task/" + thread + "/fd";
        }
    }
    return process + "/fd";
}

// Appends the children of every thread of `pid`, as /proc/<pid>/task/<tid>/children lists them.
void addChildren(int pid, std::vector<int>& processes)
{
    const std::string tasks = processPath(pid) + "/task/";
    for (const auto& thread : threadIds(pid)) {
        const auto children = readProcFile(tasks + thread + "/children");
        const char* at = children ? children->c_str() : "";
        for (char* end = nullptr;; at = end) {
            const long child = std::strtol(at, &end, 10);
            if (end == at || processes.size() >= maxProcesses) {
                break;
            }
            processes.push_back(static_cast<int>(child));
        }
    }
}

} // namespace

PeerAccess::Decision PeerAccess::decide(int listener, const asio::ip::tcp::socket& connection,
                                        const TargetProcess& target, Snapshot& snapshot)
{
    // Connections leave the listen queue in the order they joined it, one per decision.
    const bool covered = snapshot.covers > 0;
    snapshot.covers -= covered ? 1 : 0;
    asio::error_code ec;
    const auto peer = connection.remote_endpoint(ec);
    const auto own = ec ? peer : connection.local_endpoint(ec);
    if (ec) {
        return {false, "lookup failed: " + ec.message()};
    }
    if (!peer.address().is_v4() || !own.address().is_v4()) {
        return {false, "lookup failed: not an IPv4 connection"};
    }
    const Lookup lookup = lookUpPeer(
        {{networkOrder(peer.address().to_v4()), peer.port()}, {networkOrder(own.address().to_v4()), own.port()}});
    Holding holding;
    if (lookup.status == Lookup::Found && lookup.inode != 0) {
        if (covered) {
            const bool held = std::binary_search(snapshot.inodes.begin(), snapshot.inodes.end(), lookup.inode);
            holding = {held ? Holding::Held : Holding::NotHeld};
        } else {
            // Counted before the look, so that each of them was connected before it.
            const unsigned waiting = waitingConnections(listener);
            std::vector<unsigned long> seen;
            holding = holderOf(lookup.inode, target, seen);
            if (holding.status == Holding::NotHeld) {
                std::sort(seen.begin(), seen.end());
                snapshot = {std::move(seen), waiting};
            }
        }
    }
    if (holding.status == Holding::Unreadable && target.credentials()) {
        holding.targetUids = target.credentials()->uids;
    }
    return decide(lookup, holding, geteuid());
}

PeerAccess::Decision PeerAccess::decide(const Lookup& lookup, const Holding& holding, unsigned ownUid)
{
    const auto failed = [](int error) {
        return "lookup failed: " + std::string(error != 0 ? std::strerror(error) : "the kernel's answer made no sense");
    };
    switch (lookup.status) {
    case Lookup::Unavailable:
        return {true};
    case Lookup::Missing:
        return {false, "no socket on this device (another host)"};
    case Lookup::Failed:
        return {false, failed(lookup.error)};
    case Lookup::Found:
        break;
    }
    if (lookup.inode == 0) {
        return {false, "no owning process (closed, orphaned)"};
    }
    switch (holding.status) {
    case Holding::Held:
        return {true};
    case Holding::NotHeld:
        return {false, "not held by the target or a process it started"};
    case Holding::Failed:
        return {false, failed(holding.error)};
    case Holding::Unreadable:
        break;
    }
    const auto& uids = holding.targetUids;
    const bool owners =
        lookup.uid == 0 || lookup.uid == ownUid || std::find(uids.begin(), uids.end(), lookup.uid) != uids.end();
    return {owners, owners ? "" : "not a local process of the target's user", std::strerror(holding.error)};
}

PeerAccess::Lookup PeerAccess::lookUpPeer(const Connection& connection)
{
    const Lookup lookup = lookUpByDiag(connection);
    return lookup.status == Lookup::Unavailable ? lookUpInTables(connection) : lookup;
}

PeerAccess::Holding PeerAccess::holderOf(unsigned long inode, const TargetProcess& target,
                                         std::vector<unsigned long>& seen)
{
    char link[40];
    const int length = std::snprintf(link, sizeof(link), "socket:[%lu]", inode);
    // The target first, then the processes it started, nearest first.
    std::vector<int> processes{target.pid()};
    for (std::size_t next = 0; next < processes.size(); ++next) {
        const std::string descriptors = next == 0 ? descriptorsOf(target) : processPath(processes[next]) + "/fd";
        const int held = holds(descriptors, link, static_cast<std::size_t>(length), seen);
        if (held > 0) {
            return {Holding::Held};
        }
        if (held < 0 && next == 0) {
            const int error = errno;
            if (error == ENOENT || error == ESRCH) {
                return {Holding::NotHeld}; // the target is gone: nobody of its own is left to serve
            }
            return {forbidden(error) ? Holding::Unreadable : Holding::Failed, error};
        }
        // A descendant's descriptors that cannot be read hold nothing we can see; its children may.
        if (processes.size() < maxProcesses) {
            addChildren(processes[next], processes);
        }
    }
    return {Holding::NotHeld};
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
        return error.error == -ENOENT ? Lookup{Lookup::Missing} : failedWith(-error.error);
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
