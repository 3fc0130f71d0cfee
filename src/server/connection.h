// What every client that receives messages has in common, WebSocket client
// or event stream: its number, the request that opened it, and the order of
// what it is sent. A replay (a history it asked for) is read from its source
// a few messages at a time as the client reads, into the client's own write
// queue, so that the queue's bounds still hold and a client holds a few
// messages of it whatever it asked for; what is sent to it meanwhile waits
// behind the replay. Each turn of a replay writes a few messages, then lets
// live sends and the other clients' turns go first.
#pragma once

#include "server_context.h"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace server {

// A client that stops reading is dropped once this many messages, or this
// many bytes of them, wait for it, so it can neither hold up the others nor
// grow the service's memory. Copies of one message for one client's several
// subscriptions count once: they are one message written again.
constexpr std::size_t kMaxQueuedMessages = 256;
constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;
// While a replay waits, a few of its messages at a time join the queue.
constexpr std::size_t kReplayLowWater = 64;
// Messages of a replay written in one turn, and read from its source at once.
constexpr std::size_t kReplayTurn = 16;

// Whether a queue of `entries` holding `bytes` has no room for `adding` more.
inline bool backlogFull(std::size_t entries, std::size_t bytes, std::size_t adding) {
    return entries >= kMaxQueuedMessages || bytes + adding > kMaxQueuedBytes;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Context& context, std::string query, std::string lastEventId);
    virtual ~Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int id() const { return id_; }
    Context& context() { return context_; }
    const Context& context() const { return context_; }
    const std::string& query() const { return query_; }
    const std::string& lastEventId() const { return lastEventId_; }

    virtual bool eventStream() const { return false; }
    virtual bool encrypted() const = 0;
    virtual bool makeNonBlocking() = 0;
    // Tells the close handler, once, about a connection that had been opened.
    virtual void reportClosed() = 0;
    // Closes the socket; the pending read then fails and reports the close.
    virtual void drop(DropReason reason) = 0;

    // On the server thread: a message after those before it.
    void enqueue(const Outgoing& message);
    // On the server thread: messages before any enqueued later, `first`
    // then what `rest` gives.
    void replay(const std::vector<SharedText>& first, const std::shared_ptr<ReplaySource>& rest);

    bool sending() const { return held_ || writing(); }
    // On the server thread: the next turn of its replay, which it asked for.
    void takeReplayTurn();
    virtual bool writeStalled(std::chrono::steady_clock::time_point now) const = 0;

protected:
    // The client's own queue: write a message after what waits there (it
    // may drop the client); whether it is still written to; whether its
    // queue is low enough for more of a replay; whether anything waits.
    virtual void write(const Outgoing& message) = 0;
    virtual bool open() const = 0;
    virtual bool wantsMore() const = 0;
    virtual bool writing() const = 0;
    // Around the writes of one replay turn: while on, the client's socket
    // may hold small writes back to send them together (fewer calls and
    // packets for a replay); off sends what it held at once.
    virtual void gatherWrites(bool /*on*/) {}
    // Once the client's queue has taken some: more of the replay, in its
    // next turn.
    void feedHeld() {
        if (held_) feedLater();
    }
    void forgetHeld() { held_.reset(); }

private:
    // A replay under way, and the live messages that wait behind it.
    struct Held {
        std::deque<SharedText> replay;        // read from the source, not yet written
        std::shared_ptr<ReplaySource> rest;   // none once it has given all
        std::deque<Outgoing> live;
    };
    // The next message held back, or none when nothing is; lets go of the
    // hold once it is empty.
    std::optional<Outgoing> nextHeld();
    // Up to a turn's worth of what is held, as far as the queue wants it.
    void writeHeldTurn();
    // Another turn after what waits on the server thread.
    void feedLater();

    Context& context_;
    const std::string query_;
    const std::string lastEventId_;
    const int id_;
    // Only while a replay is under way: an empty deque still takes a block
    // of its own, and thousands of clients hold none.
    std::unique_ptr<Held> held_;
    bool feedPosted_ = false;
};

}  // namespace server
