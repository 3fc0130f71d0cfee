// The server that publishes scans: WebSocket clients and the service's own
// web page on one port, its event loop on a thread of its own, and sends
// posted to it from other threads. The rest of the service goes through
// WebsocketControl alone.
#pragma once

#include "origin_policy.h"
#include "tls_files.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

class ServiceStats;

// Where the server listens, whom it lets subscribe, and the figures that
// /status and /metrics show.
struct ServerSettings {
    std::string address = "0.0.0.0";
    unsigned short port = 9010;
    OriginPolicy origins;
    ServiceStats* stats = nullptr;  // none: figures of the server alone
    TlsFiles tls;                   // none: plain connections
    std::string token;              // none: anyone who reaches the port may subscribe and read the figures
    // How often the server thread shows it is alive (ServiceStats).
    std::chrono::milliseconds heartbeat{1000};
};

// One client connection. The server owns it; others hold it by pointer and
// compare by identity. A pointer stays usable for sends until the
// connection-closed callback for it has returned.
class WsConnection;
int connectionId(const WsConnection* connection);

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

class WsContext;   // the event loop and the connections it serves
class WsListener;  // the listening socket

class WebsocketControl {
public:
    explicit WebsocketControl(ServerSettings settings = {});
    ~WebsocketControl();
    WebsocketControl(const WebsocketControl&) = delete;
    WebsocketControl& operator=(const WebsocketControl&) = delete;

    int SocketLinkRecvSetCallback(MessageCallback callback);
    int SocketLinkCloseSetCallback(CloseCallback callback);

    // Listens and serves until closeWebsocketServer; returns -1 at once
    // when the address and port cannot be listened on.
    int setupWebsocketServer();

    // Queue one message for the connection; safe from any thread. The
    // result is always 0.
    int doSendText(WsConnection* connection, const char* text, int length);
    // Marks the start of one scan's sends: its copies for one client's
    // several subscriptions are one message written again, and never merge
    // with another scan's, even one with the same text.
    void beginBroadcast();
    int doSendBinary(WsConnection* connection, const char* data, int length);

    // Stops serving and returns once the server thread is done with the
    // server; a later or pending setupWebsocketServer will not serve.
    int closeWebsocketServer();

    static bool on_connection_opened(WsConnection* connection);
    static void on_connection_closed(WsConnection* connection);

private:
    void startListening();
    void releaseServer();

    WsContext* ctx = nullptr;
    WsListener* listener = nullptr;
    int running = 0;

    ServerSettings settings_;
    std::mutex lifecycle_;
    std::condition_variable serverThreadDone_;
    bool serving_ = false;
    bool stopRequested_ = false;
};
