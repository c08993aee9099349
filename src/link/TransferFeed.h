#pragma once

#include <cstddef>
#include <functional>
#include <ios>
#include <string_view>

namespace YultService::SocketCommunication {

/// The content of one data transfer: exactly the announced number of bytes, in the pieces a
/// 1024-byte reader would have had. Whatever follows the content (the end marker, part of it,
/// anything else) is dropped unread, so content that holds the marker's text is kept whole.
class TransferFeed
{
  public:
    /// Keeps the content bytes of one piece.
    using Sink = std::function<void(const char*, std::size_t)>;
    /// Told the content count after each piece, for the progress line.
    using PieceReport = std::function<void(std::streamoff received)>;

    /// The reads the protocol is counted in.
    static constexpr std::size_t pieceSize = 1024;

    /// A transfer of `announced` bytes whose content goes to `keep`; 0 bytes is complete at once.
    TransferFeed(std::streamoff announced, Sink keep);

    /// Takes the bytes of one read, piece by piece, until the content is complete; reports each
    /// piece taken and returns whether the transfer is complete. Bytes after the content are dropped.
    bool feed(std::string_view bytes, const PieceReport& report);

    /// The content has all arrived.
    bool complete() const { return received == announced; }
    /// Content bytes so far.
    std::streamoff receivedCount() const { return received; }
    /// The size the announcement gave.
    std::streamoff announcedSize() const { return announced; }

  private:
    std::streamoff announced;
    std::streamoff received = 0;
    Sink keep;
};

} // namespace YultService::SocketCommunication
