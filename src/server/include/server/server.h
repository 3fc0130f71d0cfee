// The server component; it uses only the console.
//
// The service's one port: HTTP (the web page, /status, /metrics) and
// WebSocket clients, plain or over TLS. This header is the server's only
// door: the rest of the service starts and stops it, hears about clients
// through the events it was built with, and hands it messages to send.
#pragma once

#include "server/origin_policy.h"
#include "server/replay_source.h"
#include "server/server_content.h"
#include "server/server_figures.h"
#include "server/tls_files.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Where the server listens, whom it lets in, and where its figures go.
struct ServerSettings {
    std::string address = "0.0.0.0";
    unsigned short port = 9010;
    OriginPolicy origins;
    ServerFigures* figures = nullptr;  // required: /status and /metrics show them
    TlsFiles tls;                   // none: plain connections
    std::string token;              // none: anyone who reaches the port may subscribe and read the figures
    // How often the server thread shows it is alive (ServerFigures::serverAlive).
    std::chrono::milliseconds heartbeat{1000};
    // Connections open at once, HTTP and WebSocket alike; further clients
    // wait in the listen queue.
    std::size_t maxConnections = 1000;
    // A client whose socket has taken nothing of what waits for it for so
    // long is dropped.
    std::chrono::milliseconds stallTimeout{std::chrono::minutes(2)};
    // What the service serves beyond the page, the figures and live
    // messages; none: nothing more.
    ServerContent* content = nullptr;
};

// Whether a certificate and key can serve: readable, and a key that matches
// the certificate. Prints one line on standard error naming the problem, or
// a warning for a key that other users can read (which still serves).
bool tlsFilesUsable(const TlsFiles& files);

namespace server {

// One client that receives messages: a WebSocket client, or an event
// stream (GET /events, text/event-stream) whose messages are written as
// they are given. The server owns it; others hold it by pointer and compare
// by identity. A pointer stays usable for sends until the closed event for
// it has returned.
class Connection;

int connectionId(const Connection& connection);
bool encrypted(const Connection& connection);
// Switches the connection's socket to non-blocking mode; false if it fails.
bool makeNonBlocking(Connection& connection);
// Whether it is an event stream, which wants no message to subscribe.
bool eventStream(const Connection& connection);
// The query of the request that opened it (what follows '?'), and the
// Last-Event-ID header of an event stream's request.
const std::string& openingQuery(const Connection& connection);
const std::string& lastEventId(const Connection& connection);

// What the server tells the service; each runs on the server thread.
struct Events {
    // A client has completed the WebSocket handshake; false turns it away.
    std::function<bool(Connection&)> opened;
    // Each message a client sends, empty ones too; `secret` when it is the
    // access token, which must never be shown.
    std::function<void(Connection&, std::string_view payload, bool secret)> message;
    // A client that had been opened is gone.
    std::function<void(Connection&)> closed;
    // The port cannot be served, before the reason is printed: the
    // certificate cannot be loaded (serve() then returns), or the port
    // cannot be listened on yet (tried again until it can).
    std::function<void()> notListening;
    // Every heartbeat (ServerSettings), once it serves.
    std::function<void()> beat;
};

// One message for many clients: its bytes are shared, never copied per
// client.
using SharedText = std::shared_ptr<const std::string>;

class Context;
class Listener;

class Server {
public:
    Server(ServerSettings settings, Events events);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves on the calling thread until stop(). Returns true at once if
    // another call serves or stop() came first, false at once if the port
    // cannot be served at all (the certificate cannot be loaded). `starting`
    // runs first when it will serve.
    bool serve(const std::function<void()>& starting = {});

    // Any thread: the text, as one message, to each connection in turn; a
    // connection named twice gets it twice. A connection that closes first
    // gets nothing.
    void broadcast(SharedText text, const std::vector<Connection*>& to);
    // Any thread: one message to one connection, after what it already has
    // queued.
    void send(Connection& connection, SharedText bytes, bool text);
    // Any thread: messages that go to the connection before anything sent
    // to it later (a history it asked for): `first`, then what `rest` gives
    // (none: nothing more), handed to its socket a few at a time as it
    // reads them, so that they never count against what may wait for it at
    // once. Meanwhile later messages wait behind them.
    void replay(Connection& connection, std::vector<SharedText> first, std::shared_ptr<ReplaySource> rest);

    // Any thread: ends serving once what was handed over has been written
    // (or after `patience`), reports the connections still open as closed,
    // and returns when the serving thread is done with the server. A later
    // serve() returns at once.
    void stop(std::chrono::milliseconds patience);

private:
    void listen();
    void release();

    const ServerSettings settings_;
    const Events events_;
    Context* context_ = nullptr;
    Listener* listener_ = nullptr;
    std::mutex lifecycle_;
    std::condition_variable servingDone_;
    bool serving_ = false;
    bool stopRequested_ = false;
};

}  // namespace server
