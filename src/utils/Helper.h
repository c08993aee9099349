#pragma once

#include <cstdint>
#include <ios>
#include <optional>
#include <string>
#include <vector>

namespace YultService::Utils {

/// Stateless probes of processes, ports and files.
class Helper
{
  public:
    /// True when the lifecycle tool's listing names the pid as a whole word.
    static bool tulmProcessExists(int pid);
    /// True when `ps -Aef` shows a process of app_user with this pid.
    static bool psProcessExists(int pid);
    /// True when a `ps -Aef` listing holds a line of app_user whose process id is `pid`.
    static bool listsAppUserProcess(const std::string& listing, int pid);

    /// The first port from `from` (49152 by default) to 65535 that could be bound; throws when none can.
    static int getFreePort(int from = 49152);
    /// True when binding the port on 0.0.0.0 fails.
    static bool isPortOccupied(int port);

    /// SIGUSR1's bit in the mask line `key` ("SigCgt:", "SigIgn:", "SigBlk:") of a /proc status
    /// text; nullopt when there is no such line.
    static std::optional<bool> profilerSignalInMask(const std::string& status, const std::string& key);
    /// True when a thread's /proc wchan, stack or syscall text shows it in sigwaitinfo,
    /// sigtimedwait or sigwait (empty: not read).
    static bool isWaitingForSignals(const std::string& wchan, const std::string& stack, const std::string& syscall);
    /// True when the process catches or ignores SIGUSR1, or its status cannot be read.
    static bool profilerSignalCaughtOrIgnored(int pid);
    /// The ids of the process's threads (empty when they cannot be listed).
    static std::vector<std::string> threadsOf(int pid);
    /// Those of `threads` that SIGUSR1 would reach at its default action just now: neither
    /// blocking it nor waiting for signals. A thread whose state cannot be read is not among them.
    static std::vector<std::string> threadsExposedToProfilerSignal(int pid, const std::vector<std::string>& threads);

    /// An endpoint as the kernel's TCP tables write it: "0100007F:1F83" in /proc/net/tcp, or
    /// with `mapped` the IPv4-mapped IPv6 form of /proc/net/tcp6. `address` is in network order.
    static std::string tcpTableEndpoint(std::uint32_t address, std::uint16_t port, bool mapped);
    /// The owner (uid) of the socket of a TCP table text whose own endpoint is `local` and whose
    /// peer is `remote`, both as tcpTableEndpoint writes them; nullopt when no line has them.
    static std::optional<unsigned> tcpSocketOwner(const std::string& table, const std::string& local,
                                                  const std::string& remote);
    /// What the kernel's TCP tables say of a connection's other end.
    struct PeerLookup
    {
        bool tablesRead = false;      ///< at least one of /proc/net/tcp and /proc/net/tcp6 was read
        std::optional<unsigned> owner; ///< the uid of the peer's socket; none when it is not local
    };
    /// Looks up the local socket at the other end of our connection from `peer` to `own` (IPv4
    /// addresses in network order, ports in host order) in /proc/net/tcp and /proc/net/tcp6.
    static PeerLookup lookUpPeer(std::uint32_t peerAddress, std::uint16_t peerPort, std::uint32_t ownAddress,
                                 std::uint16_t ownPort);
    /// The user ids of the process's Uid: line (real, effective, saved, file system); empty
    /// when its status cannot be read.
    static std::vector<unsigned> processUids(int pid);

    /// True when something exists at the path itself (a symbolic link is not followed).
    static bool fileExists(const std::string& path);
    /// Size of the regular file at the path, -1 when it cannot be opened or is a symbolic link.
    static std::streampos filesize(const std::string& path);
};

} // namespace YultService::Utils
