#include "LinkFixture.h"

namespace YultTest {
namespace {

// A caller that stops reading the agent's output: its reader gone, or never reading at all.
using CallerNotReading = LinkFixture;
using Output = ChildProcess::Output;
const std::string corrupted = lines({"CPU Trace file metadata is corrupted"});

// A full output never read still ends by the deadline; the line is given up only where it would block.
TEST_F(CallerNotReading, FullOutputStillEndsByTheDeadline)
{
    for (const auto output : {Output::FullOut, Output::FullMerged}) {
        startAgent({"-C", "-S", "-V"}, getpid(), output);
        EXPECT_GT(app.awaitSignalValue(), 0); // taken, never answered: the server deadline comes
        EXPECT_EQ(agent->waitExit(20s), 1);
        EXPECT_EQ(agent->err(), output == Output::FullOut ? expired : "");
    }
}

// A closed output fails the result's write without SIGPIPE; one pipe for both keeps the order of events.
TEST_F(CallerNotReading, ClosedOrMergedOutputKeepsTheErrors)
{
    for (const auto output : {Output::ClosedOut, Output::Merged}) {
        connectAgent({"-C", "-O"}, output);
        EXPECT_EQ(app.handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        app.send("profiler-trace-metadata:trace-filename:#trace-filesize:1"); // no name: corrupted
        EXPECT_EQ(agent->waitExit(), 0);
        std::string seen = output == Output::Merged ? "" : agent->err();
        for (std::string line; output == Output::Merged && !(line = agent->readLine()).empty();) {
            seen += line + "\n";
        }
        EXPECT_EQ(seen, (output == Output::Merged ? lines({"Profiling stopped"}) : "") + corrupted);
    }
}

} // namespace
} // namespace YultTest
