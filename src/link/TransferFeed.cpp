#include "link/TransferFeed.h"

#include <algorithm>
#include <utility>

namespace YultService::SocketCommunication {

TransferFeed::TransferFeed(std::streamoff announced, Sink keep) : announced(announced), keep(std::move(keep)) {}

// The size alone delimits the content: a marker inside it is content, and the end is never
// searched for, so no read boundary can change what is kept.
bool TransferFeed::feed(std::string_view bytes, const PieceReport& report)
{
    while (!complete() && !bytes.empty()) {
        const std::size_t length = std::min(pieceSize, bytes.size());
        const std::streamoff due = std::max<std::streamoff>(announced - received, 0);
        const auto kept = static_cast<std::size_t>(std::min<std::streamoff>(static_cast<std::streamoff>(length), due));
        if (kept > 0) {
            keep(bytes.data(), kept);
        }
        received += static_cast<std::streamoff>(kept);
        bytes.remove_prefix(length);
        if (report) {
            report(received);
        }
    }
    return complete();
}

} // namespace YultService::SocketCommunication
