#include "Registration.h"

#include "Support.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace OlvaAppSim {
namespace {

std::filesystem::path appsDirectory()
{
    const char* home = std::getenv("TULM_HOME");
    const std::filesystem::path root = home != nullptr && *home != '\0' ? home : "/tmp/tulm";
    return root / "apps";
}

} // namespace

Registration::Registration(const std::string& appName) : file(appsDirectory() / std::to_string(getpid()))
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::trunc);
    out << appName;
    out.close();
    if (!out) {
        throw std::runtime_error("cannot register in " + file.string());
    }
    logLine("registered as " + appName + " in " + file.string());
}

Registration::~Registration()
{
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

} // namespace OlvaAppSim
