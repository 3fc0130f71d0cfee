#include "websocket_session.h"

#include "access_token.h"
#include "console/console.h"
#include "console/console_lines.h"


namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr std::size_t kMaxIncomingMessage = 64 * 1024;
// What may wait for a plain client before it is no longer read, its pongs
// and close frame included. One that has sent nothing yet, or not the token,
// has asked for nothing: it is owed the answer to its handshake, pongs and a
// close frame, a few hundred bytes. 64 KiB holds some 250 pongs of the
// largest size, more than a client that reads them ever leaves waiting, and
// the default thousand connections could then hold 64 MiB, where a
// subscriber's bound would let them hold a gigabyte. A client earns that
// bound with its first message that passes the token check and asks for
// something (is not empty): the service subscribes it on such a message.
constexpr std::size_t kUntrustedAllowance = 64 * 1024;
constexpr std::size_t kTrustedAllowance = server::kMaxQueuedBytes;

// Why a read failed, when the client did something to deserve it; nothing
// for an ordinary close.
std::optional<DropReason> dropReasonOf(beast::error_code ec) {
    if (ec == beast::error::timeout) return DropReason::UnansweredPings;
    if (ec == websocket::error::message_too_big) return DropReason::Oversized;
    if (ec == websocket::error::closed || ec == http::error::end_of_stream ||
        ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset ||
        ec == boost::asio::error::operation_aborted)
        return std::nullopt;
    // Bad UTF-8, unmasked or malformed frames.
    if (ec.category() == websocket::make_error_code(websocket::error::bad_frame_payload).category())
        return DropReason::Invalid;
    return std::nullopt;
}

}  // namespace

namespace server {

WebSocketSession::WebSocketSession(ClientStream stream, TlsSettings tls, Context& context, ConnectionSlot slot,
                                   std::string query)
    : Connection(context, std::move(query), ""),
      ws_(websocketOver(std::move(stream))),
      tls_(std::move(tls)),
      slot_(std::move(slot)) {}

WebSocketSession::WsStream WebSocketSession::websocketOver(ClientStream stream) {
    if (auto* tls = std::get_if<TlsStream>(&stream))
        return WsStream(std::in_place_type<websocket::stream<TlsStream>>, std::move(*tls));
    return WsStream(std::in_place_type<websocket::stream<DirectStream>>, DirectStream(std::move(std::get<PlainStream>(stream)), kUntrustedAllowance));
}

bool WebSocketSession::encrypted() const { return std::holds_alternative<websocket::stream<TlsStream>>(ws_); }

DirectStream* WebSocketSession::direct() {
    auto* plain = std::get_if<websocket::stream<DirectStream>>(&ws_);
    return plain ? &plain->next_layer() : nullptr;
}

const DirectStream* WebSocketSession::direct() const {
    const auto* plain = std::get_if<websocket::stream<DirectStream>>(&ws_);
    return plain ? &plain->next_layer() : nullptr;
}

bool WebSocketSession::writing() const {
    const DirectStream* plain = direct();
    return plain ? plain->queuedEntries() > 0 : !outgoing_.empty();
}

PlainStream& WebSocketSession::tcp() {
    return std::visit([](auto& ws) -> PlainStream& { return beast::get_lowest_layer(ws); }, ws_);
}

void WebSocketSession::accept(http::request<http::string_body> request) {
    tcp().expires_never();  // the websocket stream keeps time
    websocket::stream_base::timeout timeouts{kHandshakeTimeout, kIdleTimeout, true};
    std::visit(
        [&](auto& ws) {
            ws.set_option(timeouts);
            // The handshake names the service, as every HTTP answer does, and
            // no library or version.
            ws.set_option(websocket::stream_base::decorator(
                [](websocket::response_type& response) { response.set(http::field::server, "TirnSerial"); }));
            ws.read_message_max(kMaxIncomingMessage);
            ws.async_accept(request, [self = self()](beast::error_code ec) { self->onHandshake(ec); });
        },
        ws_);
}

bool WebSocketSession::makeNonBlocking() {
    beast::error_code ec;
    tcp().socket().non_blocking(true, ec);
    return !ec;
}

void WebSocketSession::reportClosed() {
    acceptingSends_ = false;
    outgoing_.clear();
    if (!opened_) return;
    opened_ = false;
    context().figures().clientClosed();
    if (context().events().closed) context().events().closed(*this);
}

bool WebSocketSession::wantsMore() const {
    const DirectStream* plain = direct();
    const std::size_t entries = plain ? plain->queuedEntries() : outgoing_.size();
    const std::size_t bytes = plain ? plain->queuedBytes() : queuedBytes_;
    return entries < kReplayLowWater && bytes < kMaxQueuedBytes / 4;
}

void WebSocketSession::gatherWrites(bool on) {
    if (DirectStream* plain = direct()) plain->gather(on);
}

void WebSocketSession::write(const Outgoing& message) {
    if (!acceptingSends_) return;  // closed meanwhile: nobody to send to
    if (DirectStream* plain = direct()) {
        if (message.frame) return sendDirect(*plain, message);
        Outgoing withFrame = message;
        withFrame.frame = framed(*message.bytes, message.text);
        return sendDirect(*plain, withFrame);
    }
    const Outgoing* last = outgoing_.empty() ? nullptr : &outgoing_.back();
    if (last && last->bytes == message.bytes && last->text == message.text) {
        ++outgoing_.back().copies;
        return;
    }
    if (backlogFull(outgoing_.size(), queuedBytes_, message.bytes->size())) return drop(DropReason::TooSlow);
    queuedBytes_ += message.bytes->size();
    outgoing_.push_back(message);
    if (outgoing_.size() == 1) writeNext();
}

// Plain clients share one frame of each message, written at once while
// their socket has room.
void WebSocketSession::sendDirect(DirectStream& stream, const Outgoing& message) {
    if (!stream.wouldRepeatLast(message.frame) &&
        backlogFull(stream.queuedEntries(), stream.queuedBytes(), message.frame->size()))
        return drop(DropReason::TooSlow);
    stream.send(message.frame);
}

bool WebSocketSession::writeStalled(std::chrono::steady_clock::time_point now) const {
    const DirectStream* plain = direct();
    return sending() && now - (plain ? plain->lastProgress() : lastWriteProgress_) > context().settings().stallTimeout;
}

void WebSocketSession::drop(DropReason reason) {
    if (acceptingSends_) context().figures().clientDropped(reason);
    close();
}

void WebSocketSession::close() {
    acceptingSends_ = false;
    forgetHeld();
    outgoing_.clear();
    queuedBytes_ = 0;
    tcp().close();
}

void WebSocketSession::onHandshake(beast::error_code ec) {
    const auto& opened = context().events().opened;
    if (ec || (opened && !opened(*this))) {
        close();
        context().forget(this);
    } else {
        opened_ = true;
        acceptingSends_ = true;
        if (DirectStream* plain = direct())
            plain->onProgress([weak = weak_from_this()] {
                if (auto connection = weak.lock()) std::static_pointer_cast<WebSocketSession>(connection)->feedHeld();
            });
        context().figures().clientOpened();
        readNext();
    }
    flushConsole();
}

void WebSocketSession::readNext() {
    std::visit(
        [this](auto& ws) {
            ws.async_read(incoming_,
                          [self = self()](beast::error_code ec, std::size_t) { self->onRead(ec); });
        },
        ws_);
}

void WebSocketSession::onRead(beast::error_code ec) {
    if (ec) {
        if (const auto reason = dropReasonOf(ec); reason && acceptingSends_) context().figures().clientDropped(*reason);
        // End of stream or a failure: the socket goes at once, and with it
        // any write still waiting for a peer that reads nothing.
        reportClosed();
        close();
        context().forget(this);
    } else {
        const auto* payload = static_cast<const char*>(incoming_.cdata().data());
        const std::size_t size = incoming_.size();
        const std::string& token = context().settings().token;
        if (!token.empty() && !tokenMatches(token, std::string_view(payload, size))) {
            refuseUnauthorized();
        } else {
            if (size > 0) trust();
            if (context().events().message)
                context().events().message(*this, std::string_view(payload, size), !token.empty());
            incoming_.consume(size);
            readNext();
        }
    }
    flushConsole();
}

void WebSocketSession::trust() {
    if (trusted_) return;
    trusted_ = true;
    if (DirectStream* plain = direct()) plain->setAllowance(kTrustedAllowance);
}

// A message that is not the token: the client is closed with a policy
// violation, and what it sent is never shown (it may be a mistyped token).
void WebSocketSession::refuseUnauthorized() {
    consoleOut(LineKind::Warning, "closed connection %d: its message was not the access token (--token-file)\n", id());
    if (acceptingSends_) context().figures().clientDropped(DropReason::Unauthorized);
    acceptingSends_ = false;
    std::visit(
        [this](auto& ws) {
            ws.async_close(websocket::close_reason(websocket::close_code::policy_error),
                           [self = self()](beast::error_code) {
                               self->reportClosed();
                               self->close();
                               self->context().forget(self.get());
                               flushConsole();
                           });
        },
        ws_);
}

void WebSocketSession::writeNext() {
    lastWriteProgress_ = std::chrono::steady_clock::now();
    const Outgoing& next = outgoing_.front();
    // The handler keeps the bytes alive: a drop empties the queue while the
    // write may still be under way.
    std::visit(
        [&](auto& ws) {
            ws.text(next.text);
            ws.async_write(boost::asio::buffer(*next.bytes),
                           [self = self(), bytes = next.bytes](beast::error_code ec, std::size_t) {
                               self->onWrite(ec);
                           });
        },
        ws_);
}

void WebSocketSession::onWrite(beast::error_code ec) {
    if (ec || outgoing_.empty()) {
        close();
        return;
    }
    Outgoing& written = outgoing_.front();
    if (--written.copies == 0) {
        queuedBytes_ -= written.bytes->size();
        outgoing_.pop_front();
    }
    if (!outgoing_.empty()) writeNext();
    feedHeld();
}

}  // namespace server
