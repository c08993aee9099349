// Small helpers shared by the simulator's modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace OlvaAppSim {

// All diagnostics go to stderr: stdout carries only the ready line that
// scripts wait on.
void logLine(const std::string& message);

// Own generator (splitmix64) so synthetic data is identical run to run and
// across standard libraries, unlike the std distributions.
class Prng
{
  public:
    explicit Prng(std::uint64_t seed) : state(seed) {}
    std::uint64_t next();
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

  private:
    std::uint64_t state;
};

std::size_t decimalDigits(std::uint64_t value);

// Benchmarks ask for exact sizes: grow by inserting spaces just before the
// last character (which keeps a JSON object or a final newline intact), or cut.
void fitToSize(std::string& text, std::size_t size);

} // namespace OlvaAppSim
