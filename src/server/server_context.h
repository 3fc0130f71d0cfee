// The server's event loop and what its sessions share: the connection
// limit, the WebSocket connections, and sends handed over from other
// threads.
#pragma once

#include "client_stream.h"
#include "send_helper.h"
#include "server/server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>


namespace server {

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// Half of it without a frame from the peer sends a ping; the whole of it
// without an answer drops the peer.
constexpr auto kIdleTimeout = std::chrono::seconds(120);

// One message for one client; copies of one scan for several subscriptions
// of that client share the bytes and are one entry written again.
struct Outgoing {
    std::shared_ptr<const std::string> bytes;
    std::shared_ptr<const std::string> frame;  // the same framed, for every plain client
    bool text;
    std::size_t copies = 1;
};

// How many connections exist, HTTP and WebSocket alike, counted until each
// is gone. Shared with the connections, so that the last of them may go
// after the server.
struct Occupancy {
    std::size_t live = 0;
    std::function<void()> resume;  // once there is room again
};

// One connection's place under the limit, for as long as it exists.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::shared_ptr<Occupancy> occupancy);
    ~ConnectionSlot();
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ConnectionSlot(const ConnectionSlot&) = delete;

private:
    std::shared_ptr<Occupancy> occupancy_;
};

class Context {
public:
    Context(const ServerSettings& settings, const Events& events);

    boost::asio::io_context io{1};

    const ServerSettings& settings() const { return settings_; }
    const Events& events() const { return events_; }
    ServerFigures& figures() { return *settings_.figures; }

    // What new connections are accepted with: null for plain ones.
    const TlsSettings& tls() const { return tls_; }
    // False when a certificate was given but cannot be loaded: then nothing
    // may be served, certainly not in clear.
    bool tlsReady() const { return tls_ || !settings_.tls.enabled(); }
    // On the server thread: SIGHUP reloads the certificate and key, for new
    // connections; open ones keep theirs.
    void reloadTlsOnHangup();

    ConnectionSlot takeSlot() { return ConnectionSlot(occupancy_); }
    // Whether another client may connect now; if not, `resume` runs once
    // one has gone.
    bool hasRoom() const { return occupancy_->live < settings_.maxConnections; }
    void whenRoomAgain(std::function<void()> resume) { occupancy_->resume = std::move(resume); }

    void adopt(std::shared_ptr<Connection> connection);
    void forget(Connection* connection);
    // Any thread: hands a message to the server thread for the connection.
    // Sends travel in batches, so that a burst of them wakes the server
    // thread once.
    void queueSend(std::shared_ptr<Connection> connection, Outgoing message);
    // Any thread: one message for each of the connections, in turn.
    void queueBroadcast(SharedText text, const std::vector<Connection*>& to);
    // Any thread: messages to go before anything the connection is sent later.
    void queueReplay(std::shared_ptr<Connection> connection, std::vector<SharedText> first,
                     std::shared_ptr<ReplaySource> rest);
    // On the server thread: hands what other threads queued to the
    // connections now (nothing when called from within a delivery, whose
    // order it would break). Every turn of a replay calls it first, so that
    // a live scan waits for one turn of one replay at most, however many
    // clients replay.
    void deliverPendingSends();
    // On the server thread: the connection has more of a replay to send.
    // Its turn comes after the live sends and the turns before it; turns
    // run for a slice of time, then the thread rests as long, so that
    // replays never take the whole of a core that the live scans' wake-ups
    // need.
    void queueReplayTurn(std::weak_ptr<Connection> connection);
    // Drops, every few seconds, clients whose writes have stalled.
    void watchWriteProgress();
    // Counts the server thread alive in the figures, every heartbeat.
    void keepBeating();
    // Any thread: stops the loop once every message handed over has been
    // written, or once the deadline has passed.
    void stopOnceSent(std::chrono::steady_clock::time_point deadline);
    // Reports every connection still open as closed; only once the loop has
    // stopped.
    void closeAll();

private:
    // One message for one or many connections: its bytes are shared
    // once, not once for each connection.
    struct PendingSend {
        Outgoing message;
        std::vector<std::shared_ptr<Connection>> to;
        std::vector<SharedText> replay;  // with `rest`, instead of the message when either is given
        std::shared_ptr<ReplaySource> rest;
    };
    void queue(PendingSend send);
    void deliver(const PendingSend& send, bool helper);
    bool stillSending() const;
    void waitForHangup();
    void reloadTls();

    ServerSettings settings_;
    const Events& events_;
    TlsSettings tls_;
    std::optional<boost::asio::signal_set> hangups_;
    boost::asio::steady_timer shutdownTimer_{io};
    boost::asio::steady_timer progressTimer_{io};
    boost::asio::steady_timer heartbeatTimer_{io};
    std::unordered_map<Connection*, std::shared_ptr<Connection>> connections_;
    std::shared_ptr<Occupancy> occupancy_ = std::make_shared<Occupancy>();
    std::mutex pendingGuard_;
    std::vector<PendingSend> pending_;
    std::vector<PendingSend> delivering_;  // kept to reuse its storage
    bool inDelivery_ = false;
    void runReplayTurns();
    std::deque<std::weak_ptr<Connection>> replayTurns_;
    bool turnsScheduled_ = false;
    boost::asio::steady_timer replayRest_{io};
    SendHelper helper_;
};

}  // namespace server
