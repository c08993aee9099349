#include "LinkFixture.h"

#include <functional>

namespace YultTest {
namespace {

/// What a conforming application streams after the acknowledgement: the content in writes of
/// `piece` bytes (0: one write), the marker, if any, in the last of them.
struct Delivery
{
    std::string name;
    std::string content;
    std::size_t piece;
    bool withMarker;
};

void PrintTo(const Delivery& d, std::ostream* os) { *os << d.name; }

std::string traceAnnouncement(const std::string& name, std::size_t size)
{
    return "profiler-trace-metadata:trace-filename:" + name + "#trace-filesize:" + std::to_string(size);
}

std::string progressLines(const std::string& output)
{
    std::istringstream out(output);
    std::string progress;
    for (std::string line; std::getline(out, line);) {
        if (line.find("Data received so far") != std::string::npos) {
            progress += line + "\n";
        }
    }
    return progress;
}

class TraceReception : public LinkFixture
{
  protected:
    ~TraceReception() override { std::filesystem::remove(path); }

    void announceTrace(const std::string& announcement, const std::vector<std::string>& options = {"-C", "-O"})
    {
        connectAgent(options);
        EXPECT_EQ(app.handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        app.send(announcement);
        EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
    }

    void expectStored(const std::string& content)
    {
        EXPECT_EQ(app.receiveUntilClosed(), "profiler-trace-file-received");
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out(),
                  "YultService: Profiling stopped\nYultService: Profile trace dumped to : " + path + "\n");
        EXPECT_EQ(agent->err(), "");
        EXPECT_EQ(readFile(path), content);
    }

    const std::string name = "yult-rx-" + std::to_string(getpid()) + ".json";
    const std::string path = "/tmp/" + name;
};

class TraceDelivery : public TraceReception, public ::testing::WithParamInterface<Delivery> {};

// A longer file left from an earlier run is truncated.
TEST_P(TraceDelivery, StoredByteForByteAndConfirmed)
{
    const auto& d = GetParam();
    writeFile(path, patterned(5000));
    announceTrace(traceAnnouncement(name, d.content.size()));
    std::string rest = d.content;
    for (; d.piece != 0 && rest.size() > d.piece; rest.erase(0, d.piece)) {
        app.send(rest.substr(0, d.piece));
    }
    app.send(rest + (d.withMarker ? marker : ""));
    expectStored(d.content);
}

std::vector<Delivery> conformingTraces()
{
    std::vector<Delivery> cases{{"OneWriteWithMarker", patterned(2500), 0, true},
                                {"OneWriteWithoutMarker", patterned(2500), 0, false},
                                {"SevenBytePieces", patterned(100), 7, true},
                                {"EmptyTraceMarkerAlone", "", 0, true},
                                {"EveryByteValue", patterned(5 * 257, 257), 0, true}};
    // From a remainder of 1002 on, the read that completes the content holds only the head of the marker.
    for (std::size_t remainder = 990; remainder < 1024; ++remainder) {
        cases.push_back({"Remainder" + std::to_string(remainder), patterned(2 * 1024 + remainder), 0, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Conforming, TraceDelivery, ::testing::ValuesIn(conformingTraces()),
                         [](const auto& info) { return info.param.name; });

TEST_F(TraceReception, UpperCaseNameLowerCasedContentKept)
{
    announceTrace("PROFILER-TRACE-METADATA:TRACE-FILENAME:YULT-RX-" + std::to_string(getpid()) +
                  ".JSON#TRACE-FILESIZE:26");
    app.send("ABCDEFGHIJKLMNOPQRSTUVWXYZ" + marker);
    expectStored("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

// What stands at the path and is not an earlier trace of ours is neither followed, waited on nor
// replaced, and nothing is confirmed.
TEST_F(TraceReception, WhatItMayNotReplaceIsRefusedAndKept)
{
    TempDir dir;
    const std::string target = dir.path + "/target";
    constexpr int skipped = 1;
    const std::vector<std::pair<const char*, std::function<int()>>> plants = {
        {"symbolic link", [&] { return symlink(target.c_str(), path.c_str()); }},
        {"fifo", [&] { return mkfifo(path.c_str(), 0644); }},
        {"hard link", [&] { return link(target.c_str(), path.c_str()); }},
        {"another user's file", [&] { return geteuid() == 0 ? rename(target.c_str(), path.c_str()) : skipped; }},
    };
    for (const auto& [what, plant] : plants) {
        SCOPED_TRACE(what);
        writeFile(target, "kept as it was");
        chown(target.c_str(), 65534, 65534);
        std::filesystem::remove(path);
        if (const int planted = plant(); planted != 0) {
            EXPECT_EQ(planted, skipped) << "cannot plant it";
            std::cout << what << ": not tried, it needs root\n";
            continue;
        }
        announceTrace(traceAnnouncement(name, 5));
        app.send("abcde" + marker);
        EXPECT_EQ(app.receiveUntilClosed(), "");
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
        EXPECT_EQ(agent->err(), "YultService: Error receiving and processing CPU trace file\n"
                                "YultService: Trace file path: " + path + "\n");
        const bool fifo = std::string(what) == "fifo";
        EXPECT_EQ(std::filesystem::symlink_status(path).type() == std::filesystem::file_type::fifo, fifo);
        EXPECT_EQ(readFile(fifo ? target : path), "kept as it was");
        app.close();
    }
}

TEST_F(TraceReception, ApplicationClosingMidTransferKeepsPartialFile)
{
    announceTrace(traceAnnouncement(name, 3000));
    app.send(patterned(1500));
    app.close();
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
    EXPECT_EQ(agent->err(), "YultService: doRead - error - End of file\n");
    EXPECT_EQ(readFile(path), patterned(1500));
}

TEST_F(TraceReception, VerboseProgressLinePerRead)
{
    announceTrace(traceAnnouncement(name, 10), {"-C", "-O", "-V"});
    sendSettled("abcd");
    sendSettled("efg");
    app.send("hij" + marker);
    EXPECT_EQ(app.receiveUntilClosed(), "profiler-trace-file-received");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(progressLines(agent->out()), "YultService: Data received so far: 4 Total file size: 10\n"
                        "YultService: Data received so far: 7 Total file size: 10\n"
                        "YultService: Data received so far: 10 Total file size: 10\n");
    EXPECT_EQ(readFile(path), "abcdefghij");
}

// Bytes that arrive together are handed on as the 1024-byte reads a reader of that size would
// have made; here the marker straddles the last two of them.
TEST_F(TraceReception, DataArrivingTogetherIsCountedInKiBReads)
{
    const std::string content = patterned(3064);
    announceTrace(traceAnnouncement(name, content.size()), {"-C", "-O", "-V"});
    app.send(content + marker);
    EXPECT_EQ(app.receiveUntilClosed(), "profiler-trace-file-received");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(progressLines(agent->out()), "YultService: Data received so far: 1024 Total file size: 3064\n"
                        "YultService: Data received so far: 2048 Total file size: 3064\n"
                        "YultService: Data received so far: 3064 Total file size: 3064\n");
    EXPECT_EQ(readFile(path), content);
}

} // namespace
} // namespace YultTest
