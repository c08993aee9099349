#pragma once

#include "AppPeer.h"

#include <cstddef>
#include <string>

namespace YultBench {

/// Bytes per write of the sender, and per block of the content.
inline constexpr std::size_t writeSize = std::size_t{64} << 10;

/// One delivery as the receiver saw it from this end.
struct Delivery
{
    double seconds = 0; ///< from the first content byte sent until the receiver's reply was read
    std::string reply;  ///< the receiver's reply, as one read brought it
};

/// The one sender of every measured transfer, for the agent and for the yardsticks alike: `size`
/// bytes of content in 64 KiB writes, then the end-of-data marker in a write of its own; then it
/// waits (bounded) for the receiver's reply. Throws when the connection breaks.
Delivery deliver(YultPeer::AppPeer& peer, std::size_t size);

/// True when the file holds exactly what `deliver` sends for `size` bytes.
bool holdsDelivery(const std::string& path, std::size_t size);

} // namespace YultBench
