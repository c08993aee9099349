#include "link/Metadata.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::SocketCommunication {
namespace {

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
            const auto [valid, record] = parseJavaScriptHeapInfoMetadata(c.message);
            EXPECT_TRUE(valid);
            EXPECT_EQ(std::streamoff(record.size), c.size);
        } else {
            const auto [valid, record] = parseTraceFileMetadata(c.message);
            EXPECT_TRUE(valid);
            EXPECT_EQ(record.filename, c.filename);
            EXPECT_EQ(std::streamoff(record.filesize), c.size);
        }
    }
}

TEST(MetadataParsing, RejectsCorrupted)
{
    const std::string traces[] = {"profiler-trace-metadata",
                                  "profiler-trace-metadata trace-filename:a",
                                  "profiler-trace-metadata trace-filename#trace-filesize:1",
                                  "profiler-trace-metadata trace-filename:a#trace-filesize",
                                  "profiler-trace-metadata trace-filename:a#size:1",
                                  "profiler-trace-metadata name:a#trace-filesize:1"};
    for (const char* name : {"", "..", "a/b", "a\x1f", "a\x7f"}) {
        EXPECT_FALSE(parseTraceFileMetadata(trace(name, "1")).first) << ::testing::PrintToString(name);
    }
    for (const char* size : {"-1", "ten", "9223372036854775808"}) {
        EXPECT_FALSE(parseTraceFileMetadata(trace("a", size)).first) << size;
    }
    for (const auto& message : traces) {
        EXPECT_FALSE(parseTraceFileMetadata(message).first) << ::testing::PrintToString(message);
    }
    for (const std::string message : {"js-heapinfo-metadata", "js-heapinfo-metadata js-heapinfo-size10",
                                      "js-heapinfo-metadata size:10", "js-heapinfo-metadata js-heapinfo-size:-5"}) {
        EXPECT_FALSE(parseJavaScriptHeapInfoMetadata(message).first) << message;
    }
}

} // namespace
} // namespace YultService::SocketCommunication
