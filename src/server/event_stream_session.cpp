#include "event_stream_session.h"

#include "console/console.h"

#include <boost/asio/write.hpp>

namespace beast = boost::beast;

namespace {

// The head of the response, and how long a browser waits before it
// reconnects by itself (the stream's "retry" field, in milliseconds).
constexpr const char* kHead =
    "HTTP/1.1 200 OK\r\n"
    "Server: TirnSerial\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n";
constexpr const char* kFirstEvent =
    "\r\n"
    "retry: 2000\n\n";
// A comment line at least this often keeps proxies and browsers from
// closing a stream that has had nothing to say.
constexpr auto kKeepAliveInterval = std::chrono::seconds(20);

}  // namespace

namespace server {

EventStreamSession::EventStreamSession(ClientStream stream, TlsSettings tls, Context& context, ConnectionSlot slot,
                                       std::string query, std::string lastEventId)
    : Connection(context, std::move(query), std::move(lastEventId)),
      stream_(std::move(stream)),
      tls_(std::move(tls)),
      slot_(std::move(slot)),
      keepAliveTimer_(context.io) {}

PlainStream& EventStreamSession::tcp() {
    return std::visit([](auto& stream) -> PlainStream& { return beast::get_lowest_layer(stream); }, stream_);
}

void EventStreamSession::start(const std::string& moreHead) {
    tcp().expires_never();  // the stall check and the keep-alive keep time
    acceptingSends_ = true;
    push(std::make_shared<const std::string>(kHead + moreHead + kFirstEvent));
    const auto& opened = context().events().opened;
    if (opened && !opened(*this)) {
        close();
        context().forget(this);
        return;
    }
    opened_ = true;
    context().figures().clientOpened();
    readUntilClosed();
    keepAlive();
    flushConsole();
}

void EventStreamSession::write(const Outgoing& message) { push(message.bytes); }

void EventStreamSession::push(SharedText bytes) {
    if (!acceptingSends_) return;
    if (backlogFull(outgoing_.size(), queuedBytes_, bytes->size())) return drop(DropReason::TooSlow);
    queuedBytes_ += bytes->size();
    outgoing_.push_back(std::move(bytes));
    if (inFlight_ == 0) writeNext();
}

bool EventStreamSession::wantsMore() const {
    return outgoing_.size() < kReplayLowWater && queuedBytes_ < kMaxQueuedBytes / 4;
}

// What waits goes out in one write, a turn's worth at most: a write per
// message would cost each message a call and a packet of its own.
void EventStreamSession::writeNext() {
    lastWriteProgress_ = std::chrono::steady_clock::now();
    inFlight_ = std::min(outgoing_.size(), kReplayTurn);
    // The handler keeps the bytes alive: a drop empties the queue while the
    // write may still be under way.
    std::vector<SharedText> batch(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(inFlight_));
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(batch.size());
    for (const SharedText& bytes : batch) buffers.push_back(boost::asio::buffer(*bytes));
    std::visit(
        [&](auto& stream) {
            boost::asio::async_write(stream, buffers,
                                     [self = self(), batch = std::move(batch)](beast::error_code ec, std::size_t) {
                                         self->onWrite(ec);
                                     });
        },
        stream_);
}

void EventStreamSession::onWrite(beast::error_code ec) {
    if (ec || outgoing_.size() < inFlight_) {
        close();
        return;
    }
    for (; inFlight_ > 0; --inFlight_) {
        queuedBytes_ -= outgoing_.front()->size();
        outgoing_.pop_front();
    }
    if (!outgoing_.empty()) writeNext();
    feedHeld();
}

// The client says nothing on this stream; what it sends is dropped, and
// its end (or a failure) ends the stream.
void EventStreamSession::readUntilClosed() {
    std::visit(
        [this](auto& stream) {
            stream.async_read_some(boost::asio::buffer(discard_), [self = self()](beast::error_code ec, std::size_t) {
                if (!ec) return self->readUntilClosed();
                self->reportClosed();
                self->close();
                self->context().forget(self.get());
                flushConsole();
            });
        },
        stream_);
}

void EventStreamSession::keepAlive() {
    keepAliveTimer_.expires_after(kKeepAliveInterval);
    keepAliveTimer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
        auto connection = weak.lock();
        if (ec || !connection) return;
        auto* session = static_cast<EventStreamSession*>(connection.get());
        if (!session->acceptingSends_) return;
        if (session->outgoing_.empty()) session->push(std::make_shared<const std::string>(":\n\n"));
        session->keepAlive();
    });
}

void EventStreamSession::reportClosed() {
    acceptingSends_ = false;
    outgoing_.clear();
    queuedBytes_ = 0;
    if (!opened_) return;
    opened_ = false;
    context().figures().clientClosed();
    if (context().events().closed) context().events().closed(*this);
}

bool EventStreamSession::writeStalled(std::chrono::steady_clock::time_point now) const {
    return sending() && now - lastWriteProgress_ > context().settings().stallTimeout;
}

void EventStreamSession::drop(DropReason reason) {
    if (acceptingSends_) context().figures().clientDropped(reason);
    close();
}

void EventStreamSession::close() {
    acceptingSends_ = false;
    forgetHeld();
    outgoing_.clear();
    queuedBytes_ = 0;
    keepAliveTimer_.cancel();
    beast::error_code ignored;
    tcp().socket().close(ignored);
}

}  // namespace server
