#include "guard/PeerAccess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>

#include <string>
#include <tuple>

namespace YultService::Guard {
namespace {

using Lookup = PeerAccess::Lookup;
constexpr std::uint32_t sequence = 7;

std::string netlinkMessage(std::uint16_t type, const void* payload, std::size_t size, std::uint32_t seq = sequence)
{
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(size));
    header.nlmsg_type = type;
    header.nlmsg_seq = seq;
    return std::string(reinterpret_cast<const char*>(&header), sizeof(header)) +
           std::string(static_cast<const char*>(payload), size);
}

// A reply as the kernel writes it to an exact request for the peer 127.0.0.1:54321 talking to us on 9091.
std::string diagSocket(std::uint8_t family, std::uint8_t state, std::uint16_t port, unsigned uid, unsigned inode,
                       std::uint32_t seq = sequence)
{
    inet_diag_msg msg{};
    msg.idiag_family = family;
    msg.idiag_state = state;
    msg.id.idiag_sport = htons(port);
    msg.id.idiag_dport = htons(9091);
    const bool mapped = family == AF_INET6;
    msg.id.idiag_src[mapped ? 3 : 0] = msg.id.idiag_dst[mapped ? 3 : 0] = htonl(INADDR_LOOPBACK);
    if (mapped) {
        msg.id.idiag_src[2] = msg.id.idiag_dst[2] = htonl(0xffff);
    }
    msg.idiag_uid = uid;
    msg.idiag_inode = inode;
    return netlinkMessage(SOCK_DIAG_BY_FAMILY, &msg, sizeof(msg), seq);
}

// `reply` with one field of its socket record, at `offset` in inet_diag_msg, set to `value`.
template <typename Field>
std::string patched(std::string reply, std::size_t offset, Field value)
{
    std::memcpy(&reply[NLMSG_HDRLEN + offset], &value, sizeof(value));
    return reply;
}

std::string diagError(int code)
{
    nlmsgerr err{};
    err.error = -code;
    return netlinkMessage(NLMSG_ERROR, &err, sizeof(err));
}

TEST(PeerAccess, DiagReplyNamesOnlyTheSocketAskedFor)
{
    const PeerAccess::Connection connection{{htonl(INADDR_LOOPBACK), 54321}, {htonl(INADDR_LOOPBACK), 9091}};
    const std::string found = diagSocket(AF_INET, TCP_ESTABLISHED, 54321, 1000, 4711);
    const std::string mapped = diagSocket(AF_INET6, TCP_ESTABLISHED, 54321, 1000, 4711);
    const std::uint32_t elsewhere = htonl(0x0A000002);
    const std::size_t ownPort = offsetof(inet_diag_msg, id.idiag_dport), family = offsetof(inet_diag_msg, idiag_family);
    const std::size_t peerAddress = offsetof(inet_diag_msg, id.idiag_src);
    const std::size_t ownAddress = offsetof(inet_diag_msg, id.idiag_dst);
    const struct
    {
        const char* name;
        std::string reply;
        Lookup expected;
    } cases[] = {
        {"the peer's socket", found, {Lookup::Found, 1000, 4711}},
        {"through an IPv4-mapped address", mapped, {Lookup::Found, 1000, 4711}},
        {"closed, no owner", diagSocket(AF_INET, TCP_FIN_WAIT2, 54321, 0, 0), {Lookup::Found, 0, 0}},
        {"a listener on the peer's port", diagSocket(AF_INET, TCP_LISTEN, 54321, 0, 99), {Lookup::Missing}},
        {"another port", diagSocket(AF_INET, TCP_ESTABLISHED, 54322, 1000, 4711), {Lookup::Missing}},
        // The peer's port alone names no socket: each of these has it.
        {"another own port", patched(found, ownPort, htons(9092)), {Lookup::Missing}},
        {"another peer address", patched(found, peerAddress, elsewhere), {Lookup::Missing}},
        {"another own address", patched(found, ownAddress, elsewhere), {Lookup::Missing}},
        {"IPv6, not IPv4-mapped", patched(mapped, peerAddress + 8, std::uint32_t{0}), {Lookup::Missing}},
        {"IPv6 family, IPv4 words", patched(found, family, std::uint8_t{AF_INET6}), {Lookup::Missing}},
        {"no such socket", diagError(ENOENT), {Lookup::Missing}},
        {"forbidden by a security module", diagError(EACCES), {Lookup::Unavailable, 0, 0, EACCES}},
        {"a failure that may pass", diagError(ENOBUFS), {Lookup::Failed, 0, 0, ENOBUFS}},
        {"another request's answer", diagSocket(AF_INET, TCP_ESTABLISHED, 54321, 1000, 4711, 8), {Lookup::Failed}},
        {"cut short", found.substr(0, found.size() - 4), {Lookup::Failed}},
        {"nothing", "", {Lookup::Failed}},
    };
    for (const auto& c : cases) {
        const Lookup lookup = PeerAccess::parseDiagReply(c.reply.data(), c.reply.size(), connection, sequence);
        EXPECT_EQ(std::tie(lookup.status, lookup.uid, lookup.inode, lookup.error),
                  std::tie(c.expected.status, c.expected.uid, c.expected.inode, c.expected.error))
            << c.name;
    }
}

// Lines as /proc/net/tcp writes them, read when sock_diag is missing.
TEST(PeerAccess, TableNamesOwnerAndInodeOfTheSocketWithBothEndpoints)
{
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    const std::string own = PeerAccess::tcpTableEndpoint({loopback, 9091}, false);
    EXPECT_EQ(PeerAccess::tcpTableEndpoint({loopback, 54321}, false), "0100007F:D431");
    EXPECT_EQ(PeerAccess::tcpTableEndpoint({loopback, 9091}, true), "0000000000000000FFFF00000100007F:2383");
    const std::string table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:2383 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0  0 11 1\n"
        "   1: 0200000A:D431 0100007F:2383 01 00000000:00000000 00:00000000 00000000  1001  0 12 1\n"
        "   2: 0100007F:D431 0100007F:2383 01 00000000:00000000 00:00000000 00000000  1000  0 13 1\n"
        "   3: 0100007F:D432 0100007F:2383 05 00000000:00000000 00:00000000 00000000     0  0 0 1\n"
        "garbage\n0: x y\n";
    const struct
    {
        std::uint32_t address;
        std::uint16_t port;
        Lookup expected;
    } cases[] = {
        {loopback, 54321, {Lookup::Found, 1000, 13}},
        {htonl(0x0A000002), 54321, {Lookup::Found, 1001, 12}},
        {loopback, 54322, {Lookup::Found, 0, 0}},
        {loopback, 54323, {Lookup::Missing}},
    };
    for (const auto& c : cases) {
        const auto lookup =
            PeerAccess::tcpSocketOwner(table, PeerAccess::tcpTableEndpoint({c.address, c.port}, false), own);
        EXPECT_EQ(std::tie(lookup.status, lookup.uid, lookup.inode),
                  std::tie(c.expected.status, c.expected.uid, c.expected.inode))
            << c.port;
    }
}

// The owners decide only where the target's descriptors cannot be read.
TEST(PeerAccess, ServedOnlyASocketTheTargetOrItsDescendantsHold)
{
    using Holding = PeerAccess::Holding;
    const unsigned ours = 4242, targets = 1000;
    const Lookup live{Lookup::Found, targets, 7};
    const Holding held{Holding::Held}, notHeld{Holding::NotHeld};
    const Holding unreadable{Holding::Unreadable, EACCES, {targets, targets, targets, targets}};
    const std::string notHers = "not held by the target or a process it started";
    const std::string notHerUser = "not a local process of the target's user";
    const std::string ownerRule = std::strerror(EACCES), closed = "no owning process (closed, orphaned)";
    const Lookup failed{Lookup::Failed, 0, 0, ENOBUFS}, roots{Lookup::Found, 0, 7}, stranger{Lookup::Found, 65533, 7};
    const struct
    {
        const char* name;
        Lookup lookup;
        Holding holding;
        PeerAccess::Decision expected;
    } cases[] = {
        {"no facility to ask", {Lookup::Unavailable}, notHeld, {true}},
        {"another host", {Lookup::Missing}, held, {false, "no socket on this device (another host)"}},
        {"a lookup that failed", failed, held, {false, "lookup failed: No buffer space available"}},
        {"closed: no owning process", {Lookup::Found, 0, 0}, held, {false, closed}},
        {"held by the target or a process it started", live, held, {true}},
        {"the target's user's, held by neither", live, notHeld, {false, notHers}},
        {"root's, held by neither", roots, notHeld, {false, notHers}},
        {"descriptors not read now", live, {Holding::Failed, EMFILE}, {false, "lookup failed: Too many open files"}},
        {"unreadable: the target's user", live, unreadable, {true, "", ownerRule}},
        {"unreadable: root", roots, unreadable, {true, "", ownerRule}},
        {"unreadable: our own user", {Lookup::Found, ours, 7}, unreadable, {true, "", ownerRule}},
        {"unreadable: a stranger", stranger, unreadable, {false, notHerUser, ownerRule}},
        {"unreadable: closed", {Lookup::Found, 0, 0}, unreadable, {false, closed}},
    };
    for (const auto& c : cases) {
        const auto decision = PeerAccess::decide(c.lookup, c.holding, ours);
        EXPECT_EQ(std::tie(decision.served, decision.reason, decision.ownerRule),
                  std::tie(c.expected.served, c.expected.reason, c.expected.ownerRule))
            << c.name;
    }
}

} // namespace
} // namespace YultService::Guard
