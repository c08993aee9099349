#include "Support.h"

#include <iostream>

namespace OlvaAppSim {

void logLine(const std::string& message) { std::cerr << "olva-app-sim: " << message << std::endl; }

std::uint64_t Prng::next()
{
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::size_t decimalDigits(std::uint64_t value)
{
    std::size_t digits = 1;
    for (; value >= 10; value /= 10) {
        ++digits;
    }
    return digits;
}

void fitToSize(std::string& text, std::size_t size)
{
    if (text.size() >= size) {
        text.resize(size);
        return;
    }
    const std::size_t at = text.empty() ? 0 : text.size() - 1;
    text.insert(at, size - text.size(), ' ');
}

} // namespace OlvaAppSim
