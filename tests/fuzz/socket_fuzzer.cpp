// Raw bytes from a client socket into the running WebSocket server: the
// opening handshake and frames as a hostile or broken client sends them.
// The server must survive, report every connection it opened as closed, and
// keep serving.
// Built with TIRN_FUZZ_TLS, the port speaks TLS: an input with an even first
// byte goes to it raw, as the TLS handshake; any other goes inside a TLS
// session, to the HTTP and WebSocket code behind the encryption.
#include "fuzz_server.h"
#include "ws_client.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

#ifdef TIRN_FUZZ_TLS
}  // namespace
extern const char kMakeCertScript[];
namespace {

constexpr WsEndpoint kEndpoint{9010, "127.0.0.1", "", true};

ServerSettings serverSettings() {
    // Beside the work directory: the fuzzer takes all in it for inputs.
    const std::string dir = std::string(std::getenv("TIRN_FUZZ_WORK") ? std::getenv("TIRN_FUZZ_WORK") : "/tmp/fuzz") + ".tls";
    const std::string command = std::string(kMakeCertScript) + " --out " + dir + " localhost >/dev/null";
    fuzz::require(std::system(command.c_str()) == 0, "cannot make a certificate");
    ServerSettings settings;
    settings.tls = {dir + "/tirnserial.crt", dir + "/tirnserial.key"};
    return settings;
}

bool insideTls(const std::uint8_t* data, std::size_t size) { return size > 0 && data[0] % 2 == 1; }
#else
constexpr WsEndpoint kEndpoint = kServiceEndpoint;
ServerSettings serverSettings() { return {}; }
bool insideTls(const std::uint8_t*, std::size_t) { return false; }
#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startServer(serverSettings());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto client = WsClient::connectRaw();
    fuzz::require(client != nullptr, "the server no longer accepts connections");
    if (insideTls(data, size)) fuzz::require(client->startTls(), "the TLS handshake fails");
    client->sendRaw(std::string(reinterpret_cast<const char*>(data), size));
    // End of input: a connection waiting for more must then be dropped.
    shutdown(client->descriptor(), SHUT_WR);
    fuzz::require(client->waitClosed(std::chrono::seconds(5)), "the server kept a finished client");
    client.reset();

    // Whatever the bytes did, a well-behaved client is still served and
    // leaves no entry behind.
    static int checks = 0;
    if (++checks % 64 == 0) {
        auto good = WsClient::connect(kEndpoint);
        fuzz::require(good != nullptr && good->sendText("hello"), "a good client is refused");
        good->close();
        good.reset();
        fuzz::require(fuzz::waitForNoSubscribers(), "entries left behind");
    }
    return 0;
}
