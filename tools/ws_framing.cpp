#include "ws_framing.h"

#include <cstdint>

std::string clientHandshake(std::string_view extraHeaders, std::string_view target) {
    // Extra headers that begin with a Host line name the host themselves.
    const bool ownHost = extraHeaders.rfind("Host: ", 0) == 0;
    return "GET " + std::string(target) + " HTTP/1.1\r\n" + (ownHost ? "" : "Host: 127.0.0.1\r\n") +
           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           std::string(extraHeaders) + "\r\n";
}

std::string clientFrame(unsigned char opcode, std::string_view payload, bool masked) {
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    const unsigned char maskBit = masked ? 0x80 : 0;
    const std::uint64_t size = payload.size();
    if (size < 126) {
        frame.push_back(static_cast<char>(maskBit | size));
    } else if (size <= 0xFFFF) {
        frame.push_back(static_cast<char>(maskBit | 126));
        for (int shift = 8; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(size >> shift));
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(size >> shift));
    }
    const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked) frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < size; ++i)
        frame.push_back(static_cast<char>(payload[i] ^ (masked ? mask[i % 4] : 0)));
    return frame;
}

std::optional<ServerFrame> parseServerFrame(std::string_view received) {
    if (received.size() < 2) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(received.data());
    std::uint64_t size = bytes[1] & 0x7F;
    const std::size_t extra = size == 126 ? 2 : size == 127 ? 8 : 0;
    const std::size_t header = 2 + extra;
    if (received.size() < header) return std::nullopt;
    if (extra) {
        size = 0;
        for (std::size_t i = 2; i < header; ++i) size = (size << 8) | bytes[i];
    }
    if (received.size() - header < size) return std::nullopt;
    const auto payload = static_cast<std::size_t>(size);  // it fits: it has arrived
    return ServerFrame{(bytes[0] & 0x80) != 0, static_cast<unsigned char>(bytes[0] & 0x0F),
                       received.substr(header, payload), header + payload};
}
