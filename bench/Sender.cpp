#include "Sender.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace YultBench {

namespace {

// One block of letters, repeated: no zero byte (a heap summary is printed up to the first one)
// and, in practice, no end-of-data marker. Only the block is held, never the whole content.
const std::string& contentBlock()
{
    static const std::string block = [] {
        std::string letters(writeSize, 'a');
        std::uint32_t state = 12345;
        for (char& c : letters) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>('a' + (state >> 24) % 26);
        }
        return letters;
    }();
    return block;
}

} // namespace

Delivery deliver(YultPeer::AppPeer& peer, std::size_t size)
{
    const std::string_view block = contentBlock();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < size; offset += writeSize) {
        if (!peer.stream(block.substr(0, size - offset))) {
            throw std::runtime_error("the receiver ended the connection during the content");
        }
    }
    if (!peer.stream(YultPeer::marker)) {
        throw std::runtime_error("the receiver ended the connection before the end marker");
    }
    Delivery delivery;
    delivery.reply = peer.receive();
    delivery.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return delivery;
}

bool holdsDelivery(const std::string& path, std::size_t size)
{
    std::ifstream file(path, std::ios::binary);
    std::string piece(writeSize, '\0');
    for (std::size_t offset = 0; offset < size; offset += writeSize) {
        const std::size_t length = std::min(writeSize, size - offset);
        if (!file.read(piece.data(), static_cast<std::streamsize>(length)) ||
            std::string_view(piece).substr(0, length) != std::string_view(contentBlock()).substr(0, length)) {
            return false;
        }
    }
    return file.peek() == std::ifstream::traits_type::eof();
}

} // namespace YultBench
