// Drives whole transfers through TransferFeed, one socket read at a time, as the session does:
// free reads against any announced size, or a conforming stream (exactly N content bytes, which
// may hold the end marker's text, then an optional marker) cut at arbitrary points, which must
// keep exactly the content.
#undef NDEBUG // a broken invariant aborts: that is the finding
#include "link/TransferFeed.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cassert>
#include <cstdint>
#include <string>

using YultService::SocketCommunication::TransferFeed;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string marker = "profiler-trace-data-end";
    FuzzedDataProvider input(data, size);
    const bool conforming = input.ConsumeBool();
    const bool withMarker = input.ConsumeBool();
    // Sizes come from the parsers, which accept 0..INT64_MAX; mostly small, so that completion is reachable.
    auto announced = input.ConsumeIntegralInRange<std::streamoff>(0, input.ConsumeBool() ? 8192 : INT64_MAX);
    std::string content;
    if (conforming) {
        content = input.ConsumeBytesAsString(static_cast<std::size_t>(announced % 8193));
        content.resize(static_cast<std::size_t>(announced % 8193), 'x');
        announced = static_cast<std::streamoff>(content.size());
    }
    const std::string stream = content + (withMarker ? marker : "");
    std::string kept;
    TransferFeed feed(announced, [&kept](const char* bytes, std::size_t count) { kept.append(bytes, count); });
    std::streamoff last = 0;
    bool complete = feed.complete();
    for (std::size_t at = 0; !complete && (conforming ? at < stream.size() : input.remaining_bytes() > 0);) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 65536);
        const std::string read = conforming ? stream.substr(at, length) : input.ConsumeBytesAsString(length);
        at += length;
        std::size_t pieces = 0;
        complete = feed.feed(read, [&](std::streamoff received) {
            assert(received >= last && received - last <= static_cast<std::streamoff>(TransferFeed::pieceSize));
            last = received;
            ++pieces;
        });
        assert(pieces <= (read.size() + TransferFeed::pieceSize - 1) / TransferFeed::pieceSize);
        assert(complete == (feed.receivedCount() == announced));
        assert(feed.receivedCount() == static_cast<std::streamoff>(kept.size()));
        assert(feed.receivedCount() <= announced);
    }
    assert(!conforming || complete);
    assert(!conforming || kept == content);
    return 0;
}
