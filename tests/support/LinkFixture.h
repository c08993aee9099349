#pragma once

#include "AgentProcess.h"
#include "AppPeer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace YultTest {

/// The test process is the profiled application: the lifecycle-tool stand-in lists its pid,
/// it receives the agent's signal and talks to the agent over loopback.
class LinkFixture : public ::testing::Test
{
  protected:
    LinkFixture() { writeFile(tulmHome.path + "/apps/" + std::to_string(getpid()), "com.olva.test"); }

    std::map<std::string, std::string> agentEnvironment() const
    {
        const char* path = std::getenv("PATH");
        return {{"PATH", std::string(YULT_BUILD_DIR "/tulm-bin:") + (path != nullptr ? path : "/usr/bin:/bin")},
                {"TULM_HOME", tulmHome.path}};
    }

    /// Runs the agent against this process with the given options after -P <own pid>.
    void startAgent(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"-P", std::to_string(getpid())});
        agent = std::make_unique<AgentProcess>(options, agentEnvironment());
    }

    /// Starts the agent, takes its signal and connects; returns the port the signal carried.
    int connectAgent(const std::vector<std::string>& options)
    {
        startAgent(options);
        const int port = app.awaitSignalValue();
        EXPECT_GT(port, 0) << agent->err();
        EXPECT_TRUE(app.connectTo(port));
        return port;
    }

    /// hello / hello / handshake-success-ack, then the agent's command.
    std::string handshake()
    {
        app.send("hello");
        EXPECT_EQ(app.receive(), "hello");
        app.send("handshake-success-ack");
        return app.receive();
    }

    /// Sends a message the agent does not answer and waits until the agent has taken it.
    void sendSettled(std::string_view bytes)
    {
        app.send(bytes);
        ASSERT_TRUE(agent->waitIdle());
    }

    TempDir tulmHome;
    AppPeer app;
    std::unique_ptr<AgentProcess> agent;
};

} // namespace YultTest
