// Both announcement parsers on one message, prepared as the session prepares it: cut at the
// first NUL (the transport) and lower-cased (the protocol). A record they accept must be safe
// to use and must come back unchanged from its own canonical announcement.
#include "Require.h"
#include "link/Session.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

using YultService::SocketCommunication::Session;

namespace {

std::string received(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

void checkTrace(const std::string& message)
{
    const auto [valid, record] = Session::parseTraceFileMetadata(message);
    if (!valid) {
        require(record.filename.empty() && record.filesize == std::streampos(0), "rejection yields the default record");
        return;
    }
    const std::string& name = record.filename;
    require(!name.empty() && name != "." && name != "..", "name names an entry");
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        require(c != '/' && c != '#' && byte >= 0x20 && byte != 0x7f, "name stays directly inside /tmp");
    }
    require(std::streamoff(record.filesize) >= 0, "size is not negative");
    require(message.find(name) != std::string::npos, "name comes from the message");
    const auto [again, same] = Session::parseTraceFileMetadata(
        "profiler-trace-metadata trace-filename:" + name + "#trace-filesize:" +
        std::to_string(std::streamoff(record.filesize)));
    require(again && same.filename == name && same.filesize == record.filesize, "canonical trace round trip");
}

void checkHeap(const std::string& message)
{
    const auto [valid, record] = Session::parseJavaScriptHeapInfoMetadata(message);
    if (!valid) {
        require(record.size == std::streampos(0), "rejection yields the default record");
        return;
    }
    require(std::streamoff(record.size) >= 0, "size is not negative");
    const auto [again, same] = Session::parseJavaScriptHeapInfoMetadata("js-heapinfo-metadata js-heapinfo-size:" +
                                                                       std::to_string(std::streamoff(record.size)));
    require(again && same.size == record.size, "canonical heap round trip");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string message = received(data, size);
    checkTrace(message);
    checkHeap(message);
    return 0;
}
