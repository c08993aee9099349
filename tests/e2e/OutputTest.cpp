#include "LinkFixture.h"

namespace YultTest {
namespace {

// A caller that stops reading the agent's output: its reader gone, or never reading at all.
using CallerNotReading = LinkFixture;

// A closed output, written or read from: the writes fail, the run goes on and ends with its own
// status, not killed by SIGPIPE, and what goes to the other output is whole.
TEST_F(CallerNotReading, ClosedOutputRunEndsWithItsOwnStatus)
{
    const struct
    {
        const char* name;
        ChildProcess::Output output;
        std::vector<std::string> options;
        std::vector<std::string> messages; // the application's, after the handshake
        std::string lines;                 // what the agent writes to the output that is still read
    } cases[] = {
        {"result on a closed output", ChildProcess::Output::ClosedOut, {"-C", "-S", "-V"}, {"profiling-started"}, ""},
        {"error on a closed error output",
         ChildProcess::Output::ClosedErr,
         {"-C", "-O"},
         {"profiling-stopped", "profiler-trace-metadata:trace-filename:#trace-filesize:1"},
         lines({"Profiling stopped"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        connectAgent(c.options, c.output);
        app.handshake();
        for (const auto& message : c.messages) {
            sendSettled(message);
        }
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(c.output == ChildProcess::Output::ClosedOut ? agent->err() : agent->out(), c.lines);
    }
}

// Both outputs on one pipe that is full and never read: the agent blocks flushing its first line
// and then cannot write the deadline's line either. The run still ends, with the deadline's status.
TEST_F(CallerNotReading, FullMergedOutputStillEnds)
{
    startAgent({"-C", "-S", "-V"}, getpid(), ChildProcess::Output::FullMerged);
    EXPECT_GT(app.awaitSignalValue(), 0); // taken, never answered: the server deadline comes
    EXPECT_EQ(agent->waitExit(20s), 1);
}

// Both outputs on one pipe: the lines come in the order of the events, a result before the error
// that follows it.
TEST_F(CallerNotReading, MergedOutputKeepsTheOrderOfEvents)
{
    connectAgent({"-C", "-O"}, ChildProcess::Output::Merged);
    EXPECT_EQ(app.handshake(), "stop-profiling");
    sendSettled("profiling-stopped");
    app.send("profiler-trace-metadata:trace-filename:#trace-filesize:1");
    EXPECT_EQ(agent->waitExit(), 0);
    std::string merged;
    for (std::string line; !(line = agent->readLine()).empty();) {
        merged += line + "\n";
    }
    EXPECT_EQ(merged, lines({"Profiling stopped", "CPU Trace file metadata is corrupted"}));
}

} // namespace
} // namespace YultTest
