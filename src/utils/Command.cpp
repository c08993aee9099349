#include "utils/Command.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

namespace YultService::CommandLineOption {

CommandResult Command::execute(const std::string& command)
{
    constexpr std::size_t bufferSize = 1024 * 1024;
    // calloc: zero-filled without touching fresh pages, so an unused megabyte costs no memory.
    const std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::calloc(1, bufferSize)),
                                                             &std::free);
    if (!buffer) {
        throw std::bad_alloc();
    }
    CommandResult result;

    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen() failed!");
    }
    try {
        std::size_t count = 0;
        while ((count = std::fread(buffer.get(), 1, bufferSize, pipe)) != 0) {
            result.output.append(buffer.get(), count);
        }
    } catch (...) {
        pclose(pipe);
        throw;
    }
    const int status = pclose(pipe);
    result.exitStatus = (status >> 8) & 0xff;
    return result;
}

} // namespace YultService::CommandLineOption
