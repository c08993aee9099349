#include "LinkFixture.h"

#include "app/Job.h"
#include "utils/Helper.h"

#include <regex>
#include <set>

namespace YultTest {
namespace {

using YultService::startServer;
using YultService::Utils::Helper;
using Listener = asio::ip::tcp::acceptor;

/// A probe that lets another listener take the first port it finds before the server binds it.
struct ThievingProbe
{
    asio::io_context& ioContext;
    std::optional<Listener>& thief;

    int operator()(int from) const
    {
        const int port = Helper::getFreePort(from);
        if (!thief) {
            thief.emplace(ioContext, asio::ip::tcp::endpoint(asio::ip::address_v4::any(),
                                                             static_cast<unsigned short>(port)));
        }
        return port;
    }
};

std::shared_ptr<YultService::InputOptions::InputParser> dynamicPortOptions()
{
    auto options = std::make_shared<YultService::InputOptions::InputParser>();
    options->setDynamicPort(true);
    return options;
}

TEST(DynamicPort, PortTakenBetweenProbeAndListenerMovesTheSearchOn)
{
    asio::io_context ioContext;
    const auto options = dynamicPortOptions();
    std::optional<Listener> thief;
    std::optional<YultService::SocketCommunication::Server> server;
    const unsigned short port = startServer(ioContext, server, options, ThievingProbe{ioContext, thief});
    ASSERT_TRUE(thief && server);
    EXPECT_GT(port, thief->local_endpoint().port());
    AppPeer peer;
    EXPECT_TRUE(peer.connectTo(port)); // the server listens there
}

TEST(DynamicPort, LastPortTakenBetweenProbeAndListenerMeansNoFreePort)
{
    asio::io_context ioContext;
    const auto options = dynamicPortOptions();
    std::optional<Listener> thief;
    std::optional<YultService::SocketCommunication::Server> server;
    const ThievingProbe steal{ioContext, thief};
    try {
        startServer(ioContext, server, options, [&steal](int from) { return steal(std::max(from, 65535)); });
        ADD_FAILURE() << "a server started";
    } catch (const std::system_error&) {
        ADD_FAILURE() << "the lost port was not moved past";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Faile to find free port.");
    }
    EXPECT_TRUE(thief) << "port 65535 was taken before the test";
    EXPECT_FALSE(server);
}

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
