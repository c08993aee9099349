#pragma once

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace YultService::Guard {

/// Which peer is served on the link.
///
/// The one connection gets the whole conversation: a forged trace or summary would reach the
/// caller, and a held connection would keep the application out. So it is served only from a
/// live local socket of the target's user, root or our own user. The kernel is asked for that one
/// socket, the other end of our connection, with an exact sock_diag request: it answers in
/// microseconds however many sockets there are, so a flood of refusals cannot use up the wait for
/// the application. A socket without an owning process (inode 0: closed, orphaned, in TIME_WAIT,
/// which the kernel reports as uid 0) is no one's and is refused; so is a peer with no socket here
/// (another host). Only where sock_diag itself is missing are the /proc/net TCP tables read
/// instead; only where neither exists is the peer served, as on systems without them. A failure
/// that may pass (no descriptor or memory left, an interrupted call) refuses.
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
    };

    /// The decision for the accepted connection from `peer` to `own`, made for target `pid`.
    static bool mayServe(const asio::ip::tcp::endpoint& peer, const asio::ip::tcp::endpoint& own, int pid);
    /// The decision once the peer's socket has been looked up.
    static bool mayServe(const Lookup& lookup, unsigned ownUid, int pid);

    /// Looks up the socket at the other end of the connection: sock_diag, or the tables.
    static Lookup lookUpPeer(const Connection& connection);

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
