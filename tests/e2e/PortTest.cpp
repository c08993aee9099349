#include "LinkFixture.h"

#include <regex>
#include <set>

namespace YultTest {
namespace {

using ConcurrentAgents = LinkFixture;

// Agents started together, each for its own target, all listen on ports of their own.
TEST_F(ConcurrentAgents, DynamicPortsNeverCollide)
{
    constexpr int count = 6;
    std::vector<std::unique_ptr<Simulator>> targets;
    std::vector<std::unique_ptr<ChildProcess>> agents;
    for (int i = 0; i < count; ++i) {
        targets.push_back(std::make_unique<Simulator>(registry, std::vector<std::string>{"--once"}));
        ASSERT_TRUE(targets.back()->ready()) << targets.back()->log();
    }
    for (const auto& target : targets) {
        const std::vector<std::string> options{"-P", std::to_string(target->pid()), "-C", "-S", "-D", "-V"};
        agents.push_back(std::make_unique<ChildProcess>(agentCommand(options), registry.environment()));
    }
    std::set<std::string> ports;
    const std::regex signalLine("on port (\\d+)");
    for (const auto& started : agents) {
        EXPECT_EQ(started->waitExit(), 0) << started->err();
        const std::string out = started->out();
        std::smatch port;
        EXPECT_TRUE(std::regex_search(out, port, signalLine)) << out;
        ports.insert(port[1].str());
        EXPECT_NE(out.find("YultService: Profiling started\n"), std::string::npos) << out;
    }
    EXPECT_EQ(ports.size(), static_cast<std::size_t>(count));
}

} // namespace
} // namespace YultTest
