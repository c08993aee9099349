#include "Files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>

namespace YultPeer {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content, bool executable)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

TempDir::TempDir()
{
    if (mkdtemp(path.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    chmod(path.c_str(), 0755); // readable by the other users some checks run as
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

} // namespace YultPeer
