#include "LinkFixture.h"

namespace YultTest {
namespace {

using LinkTest = LinkFixture;

const std::string pid = std::to_string(getpid());
const std::string traceName = "yult-link-" + pid + ".trace";
const std::string handshakeLog =
    lines({"Sending profiler signal to target process with pid " + pid + " on port 9091",
           "Accepted connection from ostrel application", "Received message", "Sending message", "Received message",
           "handleMessage() - Handshake successful", "Sending message", "Received message"});

const std::string storedLog = lines(
    {"Profiling stopped", "Received message", "Received CPU Trace file metadata", "Sending message", "Received message",
     "Data received so far: 10 Total file size: 10", "Sending message", "Profile trace dumped to : /tmp/" + traceName});

// The whole program once per collecting job (the session's conversations are tested in-process).
TEST_F(LinkTest, CollectingJobsWireBytesAndConsoleLines)
{
    const struct
    {
        std::vector<std::string> options;
        std::string command, before, announcement, ack, data, receipt, out;
    } jobs[] = {
        // clang-format off
        {{"-C", "-O", "-V"}, "stop-profiling", "profiling-stopped", "profiler-trace-metadata trace-filename:" +
         traceName + "#trace-filesize:10", "ack-profiler-trace-metadata", "0123456789", "profiler-trace-file-received",
         handshakeLog + storedLog},
        {{"-M", "-J"}, "get-js-heapinfo", "", "js-heapinfo-metadata:js-heapinfo-size:7", "js-heapinfo-metadata-ack",
         std::string("abc\0def", 7), "js-heapinfo-received", lines({"JavaScript HeapInfo: abc"})},
        // clang-format on
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(job.command);
        EXPECT_EQ(connectAgent(job.options), 9091);
        EXPECT_EQ(app.handshake(), job.command);
        if (!job.before.empty()) {
            sendSettled(job.before);
        }
        app.send(job.announcement);
        EXPECT_EQ(app.receive(), job.ack);
        app.send(job.data + marker);
        EXPECT_EQ(app.receiveUntilClosed(), job.receipt);
        app.close();
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out(), job.out);
        EXPECT_EQ(agent->err(), "");
    }
    std::filesystem::remove("/tmp/" + traceName);
}

TEST_F(LinkTest, ListenerFailureSendsNoSignal)
{
    EXPECT_EQ(connectAgent({"-C", "-S"}), 9091);
    const auto first = std::move(agent); // listens on 9091 while its session lasts
    startAgent({"-C", "-S"});
    EXPECT_EQ(agent->waitExit(), 1);
    EXPECT_EQ(agent->err(), "YultService: bind: Address already in use\n");
    EXPECT_EQ(app.awaitSignalValue(0ms), -1);
    app.close();
    EXPECT_EQ(first->waitExit(), 0);
}

} // namespace
} // namespace YultTest
