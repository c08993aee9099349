#pragma once

#include "AppPeer.h"

#include <cstddef>

namespace YultBench {

/// One transfer into a yardstick.
struct Reception
{
    double seconds = 0;    ///< as the sender measures it (see Delivery)
    double cpuSeconds = 0; ///< user + system CPU of the receiving process, from wait4
};

/// Receive sizes of the two yardsticks: the agent's own read size, and one that makes the copy
/// out of the socket the whole cost (the memory-speed yardstick).
inline constexpr std::size_t smallRecv = 1024;
inline constexpr std::size_t largeRecv = std::size_t{64} << 10;

/// A yardstick for trace reception, fed by the same sender as the agent: a forked child takes
/// one loopback connection, receives `size` bytes in plain recv calls of `recvSize` bytes (what
/// follows them is dropped, as the agent drops the end marker), writes them through stdio (a
/// FILE* with a 4 KiB buffer, setvbuf) to a file under /tmp, closes it, then replies. The file is
/// checked and removed. Throws when the yardstick fails.
Reception runYardstick(YultPeer::AppPeer& peer, std::size_t recvSize, std::size_t size);

} // namespace YultBench
