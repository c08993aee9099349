// One conversation with the agent, from handshake to goodbye.
#pragma once

#include "Connection.h"
#include "Options.h"

#include <cstdint>
#include <optional>

namespace OlvaAppSim {

// Profiler state outlives conversations: profiling is started by one agent
// run and stopped by a later one.
struct Profiler
{
    std::optional<std::int64_t> startedAtUs;
};

void converse(Connection& connection, Profiler& profiler, const Options& options);

} // namespace OlvaAppSim
