// The JavaScript heap summary the app reports on request.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <sys/types.h>

namespace OlvaAppSim {

// Plain-text summary with fixed, plausible numbers. With exactBytes more
// per-object-type lines are added and the text is padded to exactly that size.
std::string buildHeapSummary(const std::string& appName, pid_t pid, std::optional<std::size_t> exactBytes);

} // namespace OlvaAppSim
