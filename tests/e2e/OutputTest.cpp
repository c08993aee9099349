#include "LinkFixture.h"

namespace YultTest {
namespace {

// A caller that stops reading the agent's output: its reader gone, or never reading at all.
using CallerNotReading = LinkFixture;
const std::string badAnnouncement = "profiler-trace-metadata:trace-filename:#trace-filesize:1";
const std::string stopped = lines({"Profiling stopped"});

// A closed output, written or read from: the writes fail, the run goes on and ends with its own
// status, not killed by SIGPIPE, and what goes to the other output is whole.
TEST_F(CallerNotReading, ClosedOutputRunEndsWithItsOwnStatus)
{
    const std::vector<std::string> corrupting = {"profiling-stopped", badAnnouncement};
    const struct
    {
        const char* name;
        ChildProcess::Output output;
        std::vector<std::string> options, messages; // the application's messages: after the handshake
        std::string lines;                          // what the agent writes to the output that is still read
    } cases[] = {
        {"result on a closed output", ChildProcess::Output::ClosedOut, {"-C", "-S", "-V"}, {"profiling-started"}, ""},
        {"error on a closed error output", ChildProcess::Output::ClosedErr, {"-C", "-O"}, corrupting, stopped},
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

// A full standard output, never read, still ends by the deadline with its status, and with the line
// where standard error is read; with both outputs on that pipe the line is given up.
TEST_F(CallerNotReading, FullOutputStillEndsByTheDeadline)
{
    for (const auto output : {ChildProcess::Output::FullOut, ChildProcess::Output::FullMerged}) {
        startAgent({"-C", "-S", "-V"}, getpid(), output);
        EXPECT_GT(app.awaitSignalValue(), 0); // taken, never answered: the server deadline comes
        EXPECT_EQ(agent->waitExit(20s), 1);
        EXPECT_EQ(agent->err(), output == ChildProcess::Output::FullOut ? expired : "");
    }
}

// Both outputs on one pipe: a result comes before the error that follows it.
TEST_F(CallerNotReading, MergedOutputKeepsTheOrderOfEvents)
{
    connectAgent({"-C", "-O"}, ChildProcess::Output::Merged);
    EXPECT_EQ(app.handshake(), "stop-profiling");
    sendSettled("profiling-stopped");
    app.send(badAnnouncement);
    EXPECT_EQ(agent->waitExit(), 0);
    std::string merged;
    for (std::string line; !(line = agent->readLine()).empty();) {
        merged += line + "\n";
    }
    EXPECT_EQ(merged, stopped + lines({"CPU Trace file metadata is corrupted"}));
}

} // namespace
} // namespace YultTest
