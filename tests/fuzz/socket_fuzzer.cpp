// Raw bytes from a client socket into the running WebSocket server: the
// opening handshake and frames as a hostile or broken client sends them.
// The server must survive, report every connection it opened as closed, and
// keep serving.
#include "fuzz_server.h"
#include "ws_client.h"

#include <sys/socket.h>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto client = WsClient::connectRaw();
    fuzz::require(client != nullptr, "the server no longer accepts connections");
    client->sendRaw(std::string(reinterpret_cast<const char*>(data), size));
    // End of input: a connection waiting for more must then be dropped.
    shutdown(client->descriptor(), SHUT_WR);
    fuzz::require(client->waitClosed(std::chrono::seconds(5)), "the server kept a finished client");
    client.reset();

    // Whatever the bytes did, a well-behaved client is still served and
    // leaves no entry behind.
    static int checks = 0;
    if (++checks % 64 == 0) {
        auto good = WsClient::connect();
        fuzz::require(good != nullptr && good->sendText("hello"), "a good client is refused");
        good->close();
        good.reset();
        fuzz::require(fuzz::waitForNoSubscribers(), "entries left behind");
    }
    return 0;
}
