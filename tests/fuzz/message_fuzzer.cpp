// Client messages of any size and content, over a real connection, through
// the message handler and the subscriber callbacks: every non-empty message
// the protocol lets through reaches the callback whole, in order; and once
// the client has gone, no entry of it is left.
#include "fuzz_server.h"
#include "ws_client.h"
#include "utf8/utf8.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Message {
    bool text;
    std::string payload;
};

// Each message: a control byte (bit 0: binary; bits 1-4: how often the
// payload repeats, as a power of two), a length byte and the payload, so
// that short inputs reach every size up to past the 64 KiB limit.
std::vector<Message> messagesIn(const std::uint8_t* data, std::size_t size) {
    std::vector<Message> messages;
    std::size_t at = 0;
    while (at + 2 <= size && messages.size() < 16) {
        const std::uint8_t control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        const std::string piece(reinterpret_cast<const char*>(data + at + 2), length);
        at += 2 + length;
        Message message{(control & 1) == 0, ""};
        const std::size_t repeat = std::size_t{1} << ((control >> 1) & 15);
        for (std::size_t i = 0; i < repeat && message.payload.size() <= 70000; ++i) message.payload += piece;
        messages.push_back(std::move(message));
    }
    return messages;
}

// What the subscriber list must have been given: messages in order until
// the first one that ends the connection.
std::vector<std::string> expectedDeliveries(const std::vector<Message>& messages) {
    std::vector<std::string> expected;
    for (const auto& message : messages) {
        if (message.payload.size() > 64 * 1024) break;
        if (message.text && !isValidUtf8(message.payload.data(), message.payload.size())) break;
        if (!message.payload.empty()) expected.push_back(message.payload);
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Message> messages = messagesIn(data, size);
    auto client = WsClient::connect();
    fuzz::require(client != nullptr, "the server no longer accepts clients");
    for (const auto& message : messages)
        if (!client->sendFrame(message.text ? WsClient::kText : WsClient::kBinary, message.payload)) break;
    client->close();
    client.reset();
    static int closesSoFar = 0;
    fuzz::require(fuzz::waitForCloses(++closesSoFar), "the close was not reported");

    fuzz::require(fuzz::takeMessages() == expectedDeliveries(messages),
                  "the callback got other messages than were sent");
    fuzz::require(fuzz::subscriberEntries() == 0, "a closed client is still subscribed");
    return 0;
}
