// The WebSocket publication as the rest of the service knows it: one
// server object, two process-wide callbacks through which the subscriber
// list is kept, and sends of scan messages. A thin layer over the server
// component (server/server.h) that keeps the service's console lines.
#pragma once

#include "server/server.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

using WsConnection = server::Connection;

// Called on the server thread for each non-empty message: the connection,
// the received bytes and their length.
using MessageCallback = void* (*)(WsConnection*, char*, int);
// Called on the server thread once a connection has closed.
using CloseCallback = void* (*)(WsConnection*);

extern MessageCallback callbackfunc;
extern CloseCallback callbackWebClose;

// The on-message handler: prints the message and hands non-empty ones to
// callbackfunc. A token is never printed: `secret` shows it as such.
void listener_on_message(WsConnection* connection, const char* payload, std::size_t size, bool secret = false);

class WebsocketControl {
public:
    explicit WebsocketControl(ServerSettings settings);
    ~WebsocketControl();
    WebsocketControl(const WebsocketControl&) = delete;
    WebsocketControl& operator=(const WebsocketControl&) = delete;

    int SocketLinkRecvSetCallback(MessageCallback callback);
    int SocketLinkCloseSetCallback(CloseCallback callback);

    // Listens and serves until closeWebsocketServer; returns -1 at once
    // when the certificate cannot be loaded. A port that cannot be listened
    // on yet is tried again until it can.
    int setupWebsocketServer();

    // Queue one message for the connection; safe from any thread. The
    // result is always 0.
    int doSendText(WsConnection* connection, const char* text, int length);
    int doSendBinary(WsConnection* connection, const char* data, int length);
    // One scan message for each entry, in order: what doSendText does for
    // each, with one copy of the text for all.
    void sendTextToEach(const std::vector<WsConnection*>& entries, const std::string& text);
    void sendTextToEach(const std::vector<WsConnection*>& entries, const server::SharedText& text);
    // What a client resuming missed, before anything sent to it later:
    // `first`, then what `rest` gives, read as the client reads.
    void replay(WsConnection* connection, std::vector<server::SharedText> first,
                std::shared_ptr<server::ReplaySource> rest);

    // Stops serving and returns once the server thread is done with the
    // server; a later or pending setupWebsocketServer will not serve.
    int closeWebsocketServer();

    static bool on_connection_opened(WsConnection* connection);
    static void on_connection_closed(WsConnection* connection);

private:
    server::Server server_;
};
