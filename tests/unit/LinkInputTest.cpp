#include "link/ChunkAccounting.h"
#include "link/Session.h"

#include <gtest/gtest.h>

namespace YultService::SocketCommunication {
namespace {

TEST(ChunkAccounting, StepPerRead)
{
    const std::string marker(dataEndMarker);
    const std::streamoff fourGiB = std::streamoff{1} << 32;
    const struct
    {
        const char* name;
        std::string chunk;
        std::streamoff received;
        std::streamoff announced;
        ChunkStep expected;
    } cases[] = {
        {"PlainContentOnTheWay", std::string(1024, 'a'), 0, 2500, {1024, 1024, false}},
        {"LastContentWithMarker", std::string(452, 'a') + marker, 2048, 2500, {452, 2500, true}},
        {"ContentWithoutMarkerCompletes", std::string(10, 'a'), 90, 100, {10, 100, true}},
        {"MarkerStraddlingTwoReads", std::string(1010, 'a') + marker.substr(0, 14), 1024, 2034, {1010, 2034, true}},
        {"MarkerHeadWhileContentDueIsContent", "abc" + marker.substr(0, 11), 0, 100, {14, 14, false}},
        {"MarkerAloneForEmptyTrace", marker, 0, 0, {0, 0, true}},
        {"RestOfMarkerAfterCompletionIgnored", "data-end", 5, 5, {0, 5, true}},
        {"BytesAfterMarkerStayCounted", "ab" + marker + "cd", 0, 100, {2, 4, false}},
        {"OnlyLastMarkerRecognised", marker + "x" + marker, 0, 100, {24, 24, false}},
        {"ZeroBytesAreContent", std::string("a\0b", 3), 0, 3, {3, 3, true}},
        {"BeyondFourGiB", std::string(1024, 'a'), fourGiB - 24, fourGiB, {24, fourGiB, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChunkStep step = accountChunk(c.chunk, c.received, c.announced);
        EXPECT_EQ(step.storedBytes, c.expected.storedBytes);
        EXPECT_EQ(step.received, c.expected.received);
        EXPECT_EQ(step.complete, c.expected.complete);
    }
}

std::string trace(const std::string& name, const std::string& size)
{
    return "profiler-trace-metadata trace-filename:" + name + "#trace-filesize:" + size;
}

TEST(MetadataParsing, YieldsRecord)
{
    const struct
    {
        std::string message;  ///< lower-cased already, as the protocol hands it over
        std::string filename; ///< trace announcements only
        long long size;
    } cases[] = {
        {trace("cpu.trace", "42"), "cpu.trace", 42},
        {"profiler-trace-metadata#trace-filename:cpu.trace#trace-filesize:42", "cpu.trace", 42},
        {trace("a: b.trace", "42"), "a: b.trace", 42},
        {trace("a", "  42 bytes#7#x"), "a", 42},
        {trace("a", "9223372036854775807"), "a", 9223372036854775807},
        {"js-heapinfo-metadata js-heapinfo-size: 12 bytes", "", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.filename.empty()) {
            const auto [valid, record] = Session::parseJavaScriptHeapInfoMetadata(c.message);
            EXPECT_TRUE(valid);
            EXPECT_EQ(std::streamoff(record.size), c.size);
        } else {
            const auto [valid, record] = Session::parseTraceFileMetadata(c.message);
            EXPECT_TRUE(valid);
            EXPECT_EQ(record.filename, c.filename);
            EXPECT_EQ(std::streamoff(record.filesize), c.size);
        }
    }
}

TEST(MetadataParsing, RejectsCorrupted)
{
    const std::string traces[] = {"profiler-trace-metadata", "profiler-trace-metadata trace-filename:a",
                                  "profiler-trace-metadata trace-filename#trace-filesize:1",
                                  "profiler-trace-metadata trace-filename:a#trace-filesize",
                                  "profiler-trace-metadata trace-filename:a#size:1",
                                  "profiler-trace-metadata name:a#trace-filesize:1",
                                  trace("", "1"), trace("..", "1"), trace("a/b", "1"), trace("a\x1f", "1"),
                                  trace("a\x7f", "1"), trace("a", "-1"), trace("a", "ten"),
                                  trace("a", "9223372036854775808")};
    for (const auto& message : traces) {
        EXPECT_FALSE(Session::parseTraceFileMetadata(message).first) << ::testing::PrintToString(message);
    }
    for (const std::string message : {"js-heapinfo-metadata", "js-heapinfo-metadata js-heapinfo-size10",
                                      "js-heapinfo-metadata size:10", "js-heapinfo-metadata js-heapinfo-size:-5"}) {
        EXPECT_FALSE(Session::parseJavaScriptHeapInfoMetadata(message).first) << message;
    }
}

} // namespace
} // namespace YultService::SocketCommunication
