#include "publication/websocketcontrol.h"

#include "client_summary.h"
#include "console/console.h"
#include "console/console_lines.h"
#include "publication/subscriber_list.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr std::size_t kMessageBufferSize = 1024;
// At shutdown, how long messages already handed over may take to reach
// their clients (the last scan before an unplug, say).
constexpr auto kShutdownPatience = std::chrono::seconds(1);

ClientSummary clients;

// Printed from the server's heartbeat, where the connections come and go.
void summariseClients() {
    const std::string line = clients.due(subscribedClients(), ClientSummary::Clock::now());
    if (line.empty()) return;
    consoleOut(LineKind::EventsOnly, "%s\n", line.c_str());
    flushConsole();
}

const char* const kNotListening = "ERROR: Expected to find proper listener connection status, but found..";

server::Events serviceEvents() {
    server::Events events;
    events.opened = [](WsConnection& connection) { return WebsocketControl::on_connection_opened(&connection); };
    events.message = [](WsConnection& connection, std::string_view payload, bool secret) {
        listener_on_message(&connection, payload.data(), payload.size(), secret);
    };
    events.closed = [](WsConnection& connection) { WebsocketControl::on_connection_closed(&connection); };
    events.notListening = [] { consoleOut(LineKind::Chatter, "%s\n", kNotListening); };
    events.beat = summariseClients;
    return events;
}

server::SharedText sharedText(const char* bytes, int length) {
    return std::make_shared<const std::string>(bytes, static_cast<std::size_t>(std::max(length, 0)));
}

}  // namespace

MessageCallback callbackfunc = nullptr;
CloseCallback callbackWebClose = nullptr;

void listener_on_message(WsConnection* connection, const char* payload, std::size_t size, bool secret) {
    if (size < 1) {
        consoleOut(LineKind::Chatter, "size of msg is 0 or msg = NULL(connet id = %d)",
                   server::connectionId(*connection));
        return;
    }
    char message[kMessageBufferSize] = {};
    memcpy(message, payload, std::min(size, sizeof message - 1));
    // Escaped, so that no client can write lines of its own into the log.
    consoleOut(LineKind::Chatter, "debug:%s \n",
               secret ? "(the access token)" : escapedForConsole(message, sizeof message).c_str());
    if (callbackfunc == nullptr) return;
    // A payload too long for the buffer is passed on as it is, so the
    // callback never sees a length beyond the bytes it is given.
    char* bytes = size < sizeof message ? message : const_cast<char*>(payload);
    callbackfunc(connection, bytes, static_cast<int>(size));
}

WebsocketControl::WebsocketControl(ServerSettings settings) : server_(std::move(settings), serviceEvents()) {
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
    return server_.serve([] { consoleOut(LineKind::Chatter, "setup websocket\n"); }) ? 0 : -1;
}

int WebsocketControl::doSendText(WsConnection* connection, const char* text, int length) {
    consoleOut(LineKind::Chatter, "call websocket doSend\n");
    server_.send(*connection, sharedText(text, length), true);
    return 0;
}

int WebsocketControl::doSendBinary(WsConnection* connection, const char* data, int length) {
    consoleOut(LineKind::Chatter, "call websocket doSend\n");
    server_.send(*connection, sharedText(data, length), false);
    return 0;
}

void WebsocketControl::sendTextToEach(const std::vector<WsConnection*>& entries, const std::string& text) {
    sendTextToEach(entries, std::make_shared<const std::string>(text));
}

void WebsocketControl::sendTextToEach(const std::vector<WsConnection*>& entries, const server::SharedText& text) {
    for (std::size_t i = 0; i < entries.size(); ++i) consoleOut(LineKind::Chatter, "call websocket doSend\n");
    server_.broadcast(text, entries);
}

void WebsocketControl::replay(WsConnection* connection, std::vector<server::SharedText> first,
                              std::shared_ptr<server::ReplaySource> rest) {
    server_.replay(*connection, std::move(first), std::move(rest));
}

int WebsocketControl::closeWebsocketServer() {
    server_.stop(kShutdownPatience);
    return 0;
}

bool WebsocketControl::on_connection_opened(WsConnection* connection) {
    consoleOut(LineKind::Chatter, "new conn id %d\n", server::connectionId(*connection));
    if (server::makeNonBlocking(*connection)) {
        clients.joined();
        noteNumberedClient(connection);
        return true;
    }
    consoleOut(LineKind::Error, "ERROR: failed to configure non-blocking state to connection..\n");
    return false;
}

void WebsocketControl::on_connection_closed(WsConnection* connection) {
    clients.left();
    consoleOut(LineKind::Chatter, "Reg test: called connection close (TLS: %d)..\n",
               server::encrypted(*connection) ? 1 : 0);
    if (callbackWebClose != nullptr) callbackWebClose(connection);
}
