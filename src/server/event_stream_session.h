// A client of GET /events: a response of type text/event-stream that never
// ends, whose body is the messages it is sent, written as they come. It
// reads nothing but its close; a comment now and then keeps proxies from
// taking it for idle. The same bounds as a WebSocket client: a client
// whose queue is full, or whose socket takes nothing for too long, is
// dropped.
#pragma once

#include "client_stream.h"
#include "connection.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>

#include <array>
#include <deque>

namespace server {

class EventStreamSession : public Connection {
public:
    EventStreamSession(ClientStream stream, TlsSettings tls, Context& context, ConnectionSlot slot, std::string query,
                       std::string lastEventId);

    // Writes the response's head, with `moreHead`'s lines, and reports the
    // client opened.
    void start(const std::string& moreHead);

    bool eventStream() const override { return true; }
    bool encrypted() const override { return tls_ != nullptr; }
    bool makeNonBlocking() override { return true; }
    void reportClosed() override;
    bool writeStalled(std::chrono::steady_clock::time_point now) const override;
    void drop(DropReason reason) override;

protected:
    void write(const Outgoing& message) override;
    bool open() const override { return acceptingSends_; }
    bool wantsMore() const override;
    bool writing() const override { return !outgoing_.empty(); }

private:
    std::shared_ptr<EventStreamSession> self() {
        return std::static_pointer_cast<EventStreamSession>(shared_from_this());
    }
    void push(SharedText bytes);
    void writeNext();
    void onWrite(boost::beast::error_code ec);
    void readUntilClosed();
    void keepAlive();
    void close();
    PlainStream& tcp();

    ClientStream stream_;
    TlsSettings tls_;
    ConnectionSlot slot_;
    std::deque<SharedText> outgoing_;
    std::size_t inFlight_ = 0;  // of outgoing_'s first entries, in the write under way
    std::size_t queuedBytes_ = 0;
    std::chrono::steady_clock::time_point lastWriteProgress_;
    std::array<char, 512> discard_{};
    boost::asio::steady_timer keepAliveTimer_;
    bool opened_ = false;
    bool acceptingSends_ = false;
};

}  // namespace server
