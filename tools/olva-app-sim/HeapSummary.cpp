#include "HeapSummary.h"

#include "Support.h"

#include <array>
#include <cstdint>

namespace OlvaAppSim {
namespace {

struct Space
{
    const char* name;
    std::uint64_t used;
    std::uint64_t committed;
};

constexpr std::array<Space, 5> spaces{{
    {"new_space", 1'412'304, 2'097'152},
    {"old_space", 6'835'712, 8'704'000},
    {"code_space", 742'400, 1'048'576},
    {"map_space", 318'464, 524'288},
    {"large_object_space", 1'150'976, 1'150'976},
}};

constexpr std::array<const char*, 8> objectTypes{
    "Object", "Array", "String", "Closure", "Map", "ArrayBuffer", "Code", "Context",
};

constexpr std::uint64_t seed = 0x5eed0f1a7e4ea9ULL;
constexpr std::uint64_t heapSizeLimit = 536'870'912;
constexpr std::uint64_t mallocedMemory = 262'144;

std::string totalsSection(const std::string& appName, pid_t pid)
{
    std::uint64_t used = 0;
    std::uint64_t committed = 0;
    for (const Space& space : spaces) {
        used += space.used;
        committed += space.committed;
    }
    return "Heap summary for " + appName + " (pid " + std::to_string(pid) + ")\n" +
           "used_heap_size: " + std::to_string(used) + " bytes\n" + "total_heap_size: " + std::to_string(committed) +
           " bytes\n" + "heap_size_limit: " + std::to_string(heapSizeLimit) + " bytes\n" +
           "malloced_memory: " + std::to_string(mallocedMemory) + " bytes\n" + "number_of_native_contexts: 1\n" +
           "number_of_detached_contexts: 0\n";
}

std::string spacesSection()
{
    std::string text = "Spaces:\n";
    for (const Space& space : spaces) {
        text += std::string(space.name) + ": used " + std::to_string(space.used) + " bytes, available " +
                std::to_string(space.committed - space.used) + " bytes, committed " + std::to_string(space.committed) +
                " bytes\n";
    }
    return text;
}

// Line `index` of the per-object-type table; past the common types the names
// get a generation suffix so padded summaries stay unambiguous.
std::string objectTypeLine(std::size_t index, Prng& prng)
{
    std::string name = objectTypes[index % objectTypes.size()];
    if (index >= objectTypes.size()) {
        name += "#" + std::to_string(index / objectTypes.size());
    }
    const std::uint64_t count = 1 + prng.below(5000);
    const std::uint64_t size = count * (16 + 8 * prng.below(8));
    return "Object type " + name + ": count " + std::to_string(count) + ", size " + std::to_string(size) + " bytes\n";
}

} // namespace

std::string buildHeapSummary(const std::string& appName, pid_t pid, std::optional<std::size_t> exactBytes)
{
    Prng prng(seed);
    std::string text = totalsSection(appName, pid) + spacesSection() + "Object types:\n";
    std::size_t index = 0;
    for (; index < objectTypes.size(); ++index) {
        text += objectTypeLine(index, prng);
    }
    if (!exactBytes) {
        return text;
    }
    std::string line = objectTypeLine(index++, prng);
    while (text.size() + line.size() <= *exactBytes) {
        text += line;
        line = objectTypeLine(index++, prng);
    }
    fitToSize(text, *exactBytes);
    return text;
}

} // namespace OlvaAppSim
