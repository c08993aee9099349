#pragma once

#include "guard/TargetProcess.h"

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace YultService::Guard {

/// Which peer is served on the link.
///
/// The one connection gets the whole conversation: a forged trace or summary would reach the
/// caller, and a held connection would keep the application out. On a device every application
/// runs as one user, so a socket's owner says nothing about which application holds it: a
/// connection is served only when its socket is held by the target or by a process it started,
/// found among the `socket:[inode]` links of their /proc descriptors. The kernel is asked for that
/// one socket, the other end of our connection, with an exact sock_diag request, which answers in
/// microseconds however many sockets there are; the descriptors cost a readlink each, so one full
/// look at them judges every connection already waiting when it was made, and a flood of refusals
/// cannot use up the wait for the application. A socket without an owning process (inode 0:
/// closed, orphaned, in TIME_WAIT) is no one's and is refused; so is a peer with no socket here
/// (another host). Where sock_diag is missing or a security module forbids it, the /proc/net TCP
/// tables are read instead; only where neither exists is the peer served, as on systems without
/// them. A failure that may pass (no descriptor or memory left, an interrupted call) refuses. Where
/// the target's descriptors cannot be read at all (a target that is not dumpable, for an agent
/// that is not root), its user, root and our own user are served.
class PeerAccess
{
  public:
    /// An IPv4 endpoint: address in network order, port in host order.
    struct Endpoint
    {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
    };
    /// Our connection: the peer's end and our own.
    struct Connection
    {
        Endpoint peer;
        Endpoint own;
    };
    /// What a lookup of the peer's socket found.
    struct Lookup
    {
        enum Status
        {
            Found,       ///< the socket, with its owner and inode
            Missing,     ///< no such socket here
            Failed,      ///< the question could not be asked or answered just now
            Unavailable, ///< this system cannot answer it at all
        } status = Failed;
        unsigned uid = 0;
        unsigned long inode = 0;
        int error = 0; ///< Failed: the system's error; 0 when the kernel's answer made no sense
    };
    /// Who holds the peer's socket, as the descriptors of the target and its descendants show.
    struct Holding
    {
        enum Status
        {
            Held,       ///< the target or a process it started
            NotHeld,    ///< neither (or the target is gone)
            Unreadable, ///< the target's descriptors cannot be read: the owner rule decides
            Failed,     ///< reading them failed for a reason that may pass
        } status = Failed;
        int error = 0;                      ///< Unreadable, Failed: why
        std::vector<unsigned> targetUids{}; ///< Unreadable: the target's four uids when it was pinned
    };
    /// Whether the peer is served, and why not.
    struct Decision
    {
        bool served = false;
        std::string reason{};    ///< refused: the reason, as the verbose line gives it
        std::string ownerRule{}; ///< the owner rule decided: why the descriptors could not be read
    };

    /// The sockets that the target and its descendants held at one full look, and how many of the
    /// connections still to be accepted were already waiting then: their peers' sockets were
    /// connected before the look, so for them it is as good as a look of their own.
    struct Snapshot
    {
        std::vector<unsigned long> inodes{}; ///< sorted
        unsigned covers = 0;
    };

    /// The decision for `connection`, just accepted from `listener`, made for `target`. Each
    /// connection accepted is judged, in order; `snapshot` carries a full look over to the
    /// connections that were waiting when it was made, so that a flood costs one look per batch.
    static Decision decide(int listener, const asio::ip::tcp::socket& connection, const TargetProcess& target,
                           Snapshot& snapshot);
    /// The decision from what was looked up; `holding` matters only for a live socket here.
    static Decision decide(const Lookup& lookup, const Holding& holding, unsigned ownUid);

    /// Looks up the socket at the other end of the connection: sock_diag, or the tables.
    static Lookup lookUpPeer(const Connection& connection);
    /// Whether the target or one of its descendants (where the kernel lists children) holds the
    /// socket `inode`; stops at the first descriptor that does. Where it does not, `seen` receives
    /// every socket they hold.
    static Holding holderOf(unsigned long inode, const TargetProcess& target, std::vector<unsigned long>& seen);

    /// An exact sock_diag request for the socket whose own end is `connection.peer` and whose
    /// other end is `connection.own`; with `mapped` as IPv4-mapped IPv6 addresses.
    static std::string diagRequest(const Connection& connection, bool mapped, std::uint32_t sequence);
    /// Reads the kernel's reply to diagRequest: the socket only when its endpoints are the ones
    /// asked for (the kernel falls back to a listener on the same port).
    static Lookup parseDiagReply(const char* reply, std::size_t size, const Connection& connection,
                                 std::uint32_t sequence);

    /// An endpoint as the kernel's TCP tables write it: "0100007F:1F83" in /proc/net/tcp, or
    /// with `mapped` the IPv4-mapped IPv6 form of /proc/net/tcp6.
    static std::string tcpTableEndpoint(const Endpoint& endpoint, bool mapped);
    /// The socket of a TCP table text whose own endpoint is `local` and whose peer is `remote`,
    /// both as tcpTableEndpoint writes them: Found with its uid and inode, or Missing.
    static Lookup tcpSocketOwner(const std::string& table, const std::string& local, const std::string& remote);
};

} // namespace YultService::Guard
