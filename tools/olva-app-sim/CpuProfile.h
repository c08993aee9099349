// The trace the profiler hands over: a DevTools .cpuprofile document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace OlvaAppSim {

// Synthetic samples of a typical OlvaScript app over [startUs, endUs] (wall
// clock, microseconds). With exactBytes the document is filled with samples
// and padded with whitespace to exactly that size, for benchmarks.
std::string buildCpuProfile(std::int64_t startUs, std::int64_t endUs, std::optional<std::size_t> exactBytes);

} // namespace OlvaAppSim
