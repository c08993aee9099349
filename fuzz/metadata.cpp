// Both announcement parsers on a message cut at its first NUL and lower-cased, as the session hands it over.
#undef NDEBUG // a broken invariant aborts: that is the finding
#include "link/Session.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdint>
#include <string>

using YultService::SocketCommunication::Session;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string message;
    for (const std::uint8_t* at = data; at != data + size && *at != 0; ++at) {
        message += static_cast<char>(std::tolower(*at));
    }
    const auto [trace, record] = Session::parseTraceFileMetadata(message);
    const std::string& name = record.filename;
    assert(!trace || (!name.empty() && name != "." && name != ".." && std::streamoff(record.filesize) >= 0));
    const auto unsafe = [](unsigned char c) { return c == '/' || c < 0x20 || c == 0x7f; };
    assert(!trace || std::none_of(name.begin(), name.end(), unsafe));
    const auto [heap, heapRecord] = Session::parseJavaScriptHeapInfoMetadata(message);
    assert(!heap || std::streamoff(heapRecord.size) >= 0);
    return 0;
}
