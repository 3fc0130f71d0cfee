#include "websocketcontrol.h"

#include "console.h"
#include "server/listener.h"
#include "server/websocket_session.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

constexpr std::size_t kMessageBufferSize = 1024;
// At shutdown, how long messages already handed over may take to reach
// their clients (the last scan before an unplug, say).
constexpr auto kShutdownPatience = std::chrono::seconds(1);
constexpr auto kListenRetry = std::chrono::milliseconds(2000);

}  // namespace

MessageCallback callbackfunc = nullptr;
CloseCallback callbackWebClose = nullptr;

int connectionId(const WsConnection* connection) { return connection->id(); }

void listener_on_message(WsConnection* connection, const char* payload, std::size_t size, bool secret) {
    if (size < 1) {
        printf("size of msg is 0 or msg = NULL(connet id = %d)", connectionId(connection));
        return;
    }
    char message[kMessageBufferSize] = {};
    memcpy(message, payload, std::min(size, sizeof message - 1));
    // Escaped, so that no client can write lines of its own into the log.
    printf("debug:%s \n", secret ? "(the access token)" : escapedForConsole(message, sizeof message).c_str());
    if (callbackfunc == nullptr) return;
    // A payload too long for the buffer is passed on as it is, so the
    // callback never sees a length beyond the bytes it is given.
    char* bytes = size < sizeof message ? message : const_cast<char*>(payload);
    callbackfunc(connection, bytes, static_cast<int>(size));
}

WebsocketControl::WebsocketControl(ServerSettings settings) : settings_(std::move(settings)) {
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

WebsocketControl::~WebsocketControl() {
    closeWebsocketServer();
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

int WebsocketControl::SocketLinkRecvSetCallback(MessageCallback callback) {
    callbackfunc = callback;
    return 0;
}

int WebsocketControl::SocketLinkCloseSetCallback(CloseCallback callback) {
    callbackWebClose = callback;
    return 0;
}

int WebsocketControl::setupWebsocketServer() {
    {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (running == 1 || serving_) return 0;
        if (stopRequested_) return 0;  // stopped before this thread got here
        releaseServer();
        ctx = new WsContext(settings_);
        serving_ = true;
    }
    puts("setup websocket");
    listener = new WsListener(*ctx, settings_.address, settings_.port);
    int result = 0;
    if (!ctx->tlsReady()) {
        puts("ERROR: Expected to find proper listener connection status, but found..");
        result = -1;
    } else {
        {
            std::lock_guard<std::mutex> lock(lifecycle_);
            running = 1;
        }
        startListening();
        ctx->watchWriteProgress();
        ctx->keepBeating();
        ctx->reloadTlsOnHangup();
        flushConsole();
        ctx->io.run();
    }
    flushConsole();
    // OpenSSL keeps state for each thread that used it (its random
    // generators, for one) and frees it when the thread ends. This detached
    // thread may still be ending when the process exits, after OpenSSL's
    // own clean-up: freed here, it can never be left behind.
    OPENSSL_thread_stop();
    std::lock_guard<std::mutex> lock(lifecycle_);
    serving_ = false;
    serverThreadDone_.notify_all();
    return result;
}

// A port that cannot listen yet (its address not up at boot, another
// program on it) is tried again quietly until it can: scans are relayed
// meanwhile, and clients find the port as soon as it listens.
void WebsocketControl::startListening() {
    const std::string where = settings_.address + " port " + std::to_string(settings_.port);
    if (listener->isOk()) {
        ctx->stats().listenOutcome("");
        listener->acceptNext();
        return;
    }
    const std::string problem = listener->error().message();
    ctx->stats().listenOutcome(problem);
    puts("ERROR: Expected to find proper listener connection status, but found..");
    printf("cannot listen on %s: %s; trying again every %d s\n", where.c_str(), problem.c_str(),
           static_cast<int>(kListenRetry.count() / 1000));
    listener->retryEvery(kListenRetry, [this, where] {
        ctx->stats().listenOutcome("");
        printf("listening on %s now\n", where.c_str());
        flushConsole();
    });
}

namespace {

// The copy that the sends of the current broadcast share.
thread_local std::shared_ptr<const std::string> broadcastCopy;

// One scan goes to every subscriber in a row: they share one copy of it.
std::shared_ptr<const std::string> sharedCopy(const char* bytes, int length) {
    const auto size = static_cast<std::size_t>(std::max(length, 0));
    if (!broadcastCopy || broadcastCopy->size() != size || memcmp(broadcastCopy->data(), bytes, size) != 0)
        broadcastCopy = std::make_shared<const std::string>(bytes, size);
    return broadcastCopy;
}

}  // namespace

void WebsocketControl::beginBroadcast() { broadcastCopy.reset(); }

int WebsocketControl::doSendText(WsConnection* connection, const char* text, int length) {
    puts("call websocket doSend");
    connection->send(sharedCopy(text, length), true);
    return 0;
}

int WebsocketControl::doSendBinary(WsConnection* connection, const char* data, int length) {
    puts("call websocket doSend");
    connection->send(sharedCopy(data, length), false);
    return 0;
}

int WebsocketControl::closeWebsocketServer() {
    std::unique_lock<std::mutex> lock(lifecycle_);
    stopRequested_ = true;
    if (serving_) {
        ctx->stopOnceSent(std::chrono::steady_clock::now() + kShutdownPatience);
        serverThreadDone_.wait(lock, [this] { return !serving_; });
    }
    releaseServer();
    running = 0;
    return 0;
}

bool WebsocketControl::on_connection_opened(WsConnection* connection) {
    printf("new conn id %d\n", connectionId(connection));
    if (connection->makeNonBlocking()) return true;
    puts("ERROR: failed to configure non-blocking state to connection..");
    return false;
}

void WebsocketControl::on_connection_closed(WsConnection* connection) {
    printf("Reg test: called connection close (TLS: %d)..\n", connection->encrypted() ? 1 : 0);
    if (callbackWebClose != nullptr) callbackWebClose(connection);
}

void WebsocketControl::releaseServer() {
    delete listener;
    listener = nullptr;
    if (ctx != nullptr) ctx->closeAll();
    delete ctx;
    ctx = nullptr;
}
