// Presence in the lifecycle tool's registry, for as long as the app runs.
#pragma once

#include <filesystem>
#include <string>

namespace OlvaAppSim {

// Writes ${TULM_HOME:-/tmp/tulm}/apps/<pid> holding the application name,
// which is what `tulm list` reports; removes it again on destruction.
class Registration
{
  public:
    explicit Registration(const std::string& appName);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

  private:
    std::filesystem::path file;
};

} // namespace OlvaAppSim
