#pragma once

namespace YultService {

/// Sets every signal disposition the agent's process needs, once, before anything else runs.
void configureSignals();

} // namespace YultService
