#include "LinkFixture.h"

#include <algorithm>

namespace YultTest {
namespace {

using LinkTest = LinkFixture;
using Options = std::vector<std::string>;

const std::string pid = std::to_string(getpid());
const std::string traceName = "yult-link-" + pid + ".trace";
const std::string handshakeLog =
    lines({"Sending profiler signal to target process with pid " + pid + " on port 9091",
           "Accepted connection from ostrel application", "Received message", "Sending message", "Received message",
           "handleMessage() - Handshake successful", "Sending message", "Received message"});

using Exchange = std::vector<std::pair<std::string, std::string>>; // application's message, agent's answer ("": none)

struct Conversation
{
    std::string name;
    Options options;
    std::string command; // the agent's command after the handshake
    Exchange exchange;
    std::string out;
};
void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

const Options cpuStart{"-C", "-S"};
const Exchange traceStored{
    {"profiling-stopped", ""},
    {"profiler-trace-metadata trace-filename:" + traceName + "#trace-filesize:10", "ack-profiler-trace-metadata"},
    {"0123456789" + marker, "profiler-trace-file-received"}};
const Exchange heapCut{{"js-heapinfo-metadata:js-heapinfo-size:7", "js-heapinfo-metadata-ack"},
                       {std::string("abc\0def", 7) + marker, "js-heapinfo-received"}};
const std::string storedLog = lines(
    {"Profiling stopped", "Received message", "Received CPU Trace file metadata", "Sending message", "Received message",
     "Data received so far: 10 Total file size: 10", "Sending message", "Profile trace dumped to : /tmp/" + traceName});

// The whole program once per collecting job (the session's conversations are tested in-process).
const Conversation conversations[] = {
    {"CpuStopTraceStoredVerbose", {"-C", "-O", "-V"}, "stop-profiling", traceStored, storedLog},
    {"HeapSummaryWithMarkerCutAtZeroByte",
     {"-M", "-J"},
     "get-js-heapinfo",
     heapCut,
     lines({"JavaScript HeapInfo: abc"})},
};

class Conversations : public LinkFixture, public ::testing::WithParamInterface<Conversation>
{
};

TEST_P(Conversations, WireBytesAndConsoleLines)
{
    const Conversation& c = GetParam();
    EXPECT_EQ(connectAgent(c.options), 9091);
    EXPECT_EQ(app.handshake(), c.command);
    for (const auto& [message, answer] : c.exchange) {
        if (answer.empty()) {
            sendSettled(message);
        } else {
            app.send(message);
            EXPECT_EQ(app.receive(), answer);
        }
    }
    EXPECT_EQ(app.receiveUntilClosed(), "");
    app.close();
    EXPECT_EQ(agent->waitExit(), 0);
    const bool verbose = std::find(c.options.begin(), c.options.end(), "-V") != c.options.end();
    EXPECT_EQ(agent->out(), (verbose ? handshakeLog : "") + c.out);
    EXPECT_EQ(agent->err(), "");
    std::filesystem::remove("/tmp/" + traceName);
}

INSTANTIATE_TEST_SUITE_P(Link, Conversations, ::testing::ValuesIn(conversations),
                         [](const auto& info) { return info.param.name; });

// The first run keeps its port while the second looks for one ("first free" as the probe finds it).
TEST_F(LinkTest, DynamicPortIsFirstFreeFrom49152)
{
    const int firstFree = firstFreePort();
    EXPECT_EQ(connectAgent({"-C", "-S", "-D"}), firstFree);
    const auto first = std::move(agent);
    const int nextFree = firstFreePort(firstFree + 1);
    startAgent({"-C", "-S", "-D"});
    EXPECT_EQ(app.awaitSignalValue(), nextFree);
    // The application leaves first, so that no closed connection lingers on the agent's port.
    app.close();
    EXPECT_EQ(first->waitExit(), 0);
    EXPECT_EQ(first->err(), endOfFile);
}

TEST_F(LinkTest, ListenerFailureSendsNoSignal)
{
    EXPECT_EQ(connectAgent(cpuStart), 9091);
    const auto first = std::move(agent); // listens on 9091 while its session lasts
    startAgent(cpuStart);
    EXPECT_EQ(agent->waitExit(), 1);
    EXPECT_EQ(agent->err(), "YultService: bind: Address already in use\n");
    EXPECT_EQ(app.awaitSignalValue(0ms), -1);
    app.close();
    EXPECT_EQ(first->waitExit(), 0);
}

} // namespace
} // namespace YultTest
