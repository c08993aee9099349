#include "utils/Command.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

namespace YultService::CommandLineOption {

CommandResult Command::execute(const std::string& command)
{
    constexpr std::size_t bufferSize = 1024 * 1024;
    std::vector<char> buffer(bufferSize);
    CommandResult result;

    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen() failed!");
    }
    try {
        std::size_t count = 0;
        while ((count = std::fread(buffer.data(), 1, bufferSize, pipe)) != 0) {
            result.output.append(buffer.data(), count);
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
