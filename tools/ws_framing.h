// The client's side of WebSocket framing, for the test and benchmark clients:
// the opening request, frames as a client sends them, and frames as the
// server sends them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The opening handshake request for the service's endpoint, with any extra
// header lines (each ending in CRLF).
std::string clientHandshake(std::string_view extraHeaders = {}, std::string_view target = "/");

// One final frame; `masked` false gives a frame that breaks the protocol.
std::string clientFrame(unsigned char opcode, std::string_view payload, bool masked = true);

struct ServerFrame {
    bool fin;
    unsigned char opcode;
    std::string_view payload;  // into the buffer given
    std::size_t length;        // bytes the whole frame takes
};

// The first frame at the start of what a server sent, once it is complete.
std::optional<ServerFrame> parseServerFrame(std::string_view received);
