#include "link/TransferFeed.h"
#include "LinkFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace YultService::SocketCommunication {
namespace {

using YultTest::patterned;
// The test's own copy of the wire text: a mistyped one in the code would not hide here.
const std::string marker = "profiler-trace-data-end";

struct Fed
{
    std::string kept;
    std::vector<std::streamoff> progress; ///< the count after each piece
    bool complete = false;
};

Fed feedAll(std::streamoff announced, const std::vector<std::string>& reads)
{
    Fed fed;
    TransferFeed feed(announced, [&fed](const char* data, std::size_t size) { fed.kept.append(data, size); });
    fed.complete = feed.complete();
    for (const auto& read : reads) {
        fed.complete = feed.feed(read, [&fed](std::streamoff received) { fed.progress.push_back(received); });
    }
    EXPECT_EQ(feed.receivedCount(), static_cast<std::streamoff>(fed.kept.size()));
    return fed;
}

TEST(TransferFeed, ReadsCutIntoPieces)
{
    const std::string inner = "ab" + marker + "cd";
    const struct
    {
        const char* name;
        std::streamoff announced;
        std::vector<std::string> reads;
        std::string kept;
        std::vector<std::streamoff> progress;
        bool complete;
    } cases[] = {
        {"MarkerInsideContent", 27, {inner + marker}, inner, {27}, true},
        {"ContentStartingWithMarker", 26, {marker + "end" + marker}, marker + "end", {26}, true},
        {"ContentThatIsTheMarker", 23, {marker, marker}, marker, {23}, true},
        {"MarkerBeforeTheSizeIsContent", 100, {"abc" + marker}, "abc" + marker, {26}, false},
        {"SizeZeroTakesNothing", 0, {marker}, "", {}, true},
        {"SizeZeroWithoutMarker", 0, {}, "", {}, true},
        {"BytesBeyondTheSizeDropped", 5, {"abcdefgh"}, "abcde", {5}, true},
        {"ReadsAfterCompletionDropped", 3, {"abc", "def"}, "abc", {3}, true},
        {"ContentWithoutMarker", 10, {"abcd", "efg", "hij"}, "abcdefghij", {4, 7, 10}, true},
        {"LargeReadInKiBPieces", 3064, {patterned(3064) + marker}, YultTest::patterned(3064), {1024, 2048, 3064}, true},
        {"PiecesCountFromEachRead",
         1003,
         {patterned(1000), "abc"},
         YultTest::patterned(1000) + "abc",
         {1000, 1003},
         true},
        {"ZeroBytesAreContent", 3, {std::string("a\0b", 3)}, std::string("a\0b", 3), {3}, true},
        {"NegativeSizeNeverCompletes", -1, {"abc"}, "", {0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Fed fed = feedAll(c.announced, c.reads);
        EXPECT_EQ(fed.kept, c.kept);
        EXPECT_EQ(fed.progress, c.progress);
        EXPECT_EQ(fed.complete, c.complete);
    }
}

// A conforming stream cut into two reads anywhere around its end keeps exactly the content.
TEST(TransferFeed, MarkerAtEveryOffsetAroundTheEnd)
{
    const std::string trace = patterned(2500 - 23) + marker; // the content itself ends with the marker's text
    const std::string stream = trace + marker;
    for (std::size_t cut = trace.size() - 30; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const Fed fed = feedAll(2500, {stream.substr(0, cut), stream.substr(cut)});
        EXPECT_EQ(fed.kept, trace);
        EXPECT_TRUE(fed.complete);
        EXPECT_EQ(fed.progress.back(), 2500);
    }
}

} // namespace
} // namespace YultService::SocketCommunication
