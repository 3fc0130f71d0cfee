#include "http_session.h"

#include "access_token.h"
#include "cross_origin.h"
#include "event_stream_session.h"
#include "http_responder.h"
#include "request_target.h"
#include "websocket_session.h"
#include "console/console.h"
#include "console/console_lines.h"

#include <boost/asio/ssl/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstdio>

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr std::uint32_t kMaxHeaderBytes = 8 * 1024;
constexpr std::uint64_t kMaxBodyBytes = 1024;
// How long what a client sends after its answer is read and dropped.
constexpr auto kLingerTimeout = std::chrono::seconds(2);

ClientStream clientStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls) {
    if (tls == nullptr) return ClientStream(std::in_place_type<PlainStream>, std::move(socket));
    return ClientStream(std::in_place_type<TlsStream>, std::move(socket), *tls);
}

bool endedByClient(beast::error_code ec) {
    return ec == beast::error::timeout || ec == http::error::end_of_stream || ec == boost::asio::error::eof ||
           ec == boost::asio::ssl::error::stream_truncated;
}

}  // namespace

namespace server {

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, Context& context)
    : tls_(context.tls()),
      stream_(clientStream(std::move(socket), tls_.get())),
      context_(context),
      slot_(context.takeSlot()) {}

PlainStream& HttpSession::tcp() {
    return std::visit([](auto& stream) -> PlainStream& { return beast::get_lowest_layer(stream); }, stream_);
}

void HttpSession::start() {
    if (!std::holds_alternative<TlsStream>(stream_)) {
        readRequest();
        return;
    }
    // One deadline for the first byte and the handshake together.
    tcp().expires_after(kHandshakeTimeout);
    tcp().async_read_some(boost::asio::buffer(&firstByte_, 1), [self = shared_from_this()](beast::error_code ec,
                                                                                           std::size_t got) {
        self->onFirstByte(ec, got);
    });
}

// A TLS client opens with a handshake record (0x16); anything else is a
// plain client (http://, ws://, curl without https), which would otherwise
// see the connection close without a word.
void HttpSession::onFirstByte(beast::error_code ec, std::size_t got) {
    if (ec || got == 0) return;
    if (firstByte_ != 0x16) return refusePlainClient();
    auto& tls = std::get<TlsStream>(stream_);
    tls.putBack(std::string_view(&firstByte_, 1));
    tls.async_handshake([self = shared_from_this()](beast::error_code ec, std::size_t) { self->onTlsHandshake(ec); });
}

// Answered in clear, unread: nothing the client sent is taken as a request.
void HttpSession::refusePlainClient() {
    beast::error_code ignored;
    const auto port = std::to_string(tcp().socket().local_endpoint(ignored).port());
    const std::string why = "this port speaks TLS only: use https:// or wss:// with port " + port;
    auto response = std::make_shared<HttpResponse>(plainResponse(http::status::bad_request, 11, why.c_str()));
    http::async_write(tcp(), *response, [self = shared_from_this(), response](beast::error_code, std::size_t) {
        self->lingerThenClose();
    });
}

// A client that stalled or failed the handshake: the socket closes with the
// session, and nothing is relayed in clear.
void HttpSession::onTlsHandshake(beast::error_code ec) {
    if (!ec) readRequest();
}

void HttpSession::readRequest() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    tcp().expires_after(kHandshakeTimeout);
    std::visit(
        [this](auto& stream) {
            http::async_read(stream, buffer_, *parser_,
                             [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
        },
        stream_);
}

void HttpSession::onRead(beast::error_code ec) {
    if (endedByClient(ec)) return;
    if (ec) {
        // Too large, or not HTTP at all.
        if (ec.category() == http::make_error_code(http::error::bad_version).category())
            answer(plainResponse(http::status::bad_request, 11));
        return;
    }
    const bool upgrade = beast::websocket::is_upgrade(parser_->get());
    if (!upgrade && !hostKnown()) {
        answer(plainResponse(http::status::forbidden, parser_->get().version(),
                             "not a name of this service: start it with --server-name NAME"));
        return;
    }
    if (upgrade) {
        becomeWebSocket();
        return;
    }
    if (readableAcrossOrigins(targetOf(parser_->get()).path)) {
        answerFeedRequest();
        return;
    }
    answer(respondTo(parser_->get(), context_));
}

// The scans' own paths: the event stream, and the history's (the content's).
bool HttpSession::readableAcrossOrigins(const std::string& path) const {
    const ServerContent* content = context_.settings().content;
    return path == "/events" || (content != nullptr && content->serves(path));
}

// A page reads these with fetch or EventSource, from another origin too:
// the same origin check as a WebSocket client's, then CORS for the origin
// let in, so that a refused page is refused alike on every path.
void HttpSession::answerFeedRequest() {
    const HttpRequest& request = parser_->get();
    const bool stream = targetOf(request).path == "/events";
    if (!originAllowed(stream ? "an event stream client" : "a history request")) return;
    const std::string_view origin(request[http::field::origin].data(), request[http::field::origin].size());
    if (request.method() == http::verb::options) {
        crossOrigin_ = preflightFields(origin);
        HttpResponse preflight{http::status::no_content, request.version()};
        preflight.set(http::field::server, "TirnSerial");
        preflight.set(http::field::allow, "GET, HEAD, OPTIONS");
        preflight.keep_alive(false);
        answer(std::move(preflight));
        return;
    }
    crossOrigin_ = crossOriginFields(origin);
    if (stream && request.method() == http::verb::get) {
        becomeEventStream();
        return;
    }
    answer(respondTo(request, context_));
}

// Where origins are checked, a page under a name of its own (a DNS name
// made to resolve to this box) reads nothing, not even the figures.
bool HttpSession::hostKnown() {
    const OriginPolicy& origins = context_.settings().origins;
    return !origins.restricts() || origins.answersTo(targetOf(parser_->get()).host, localAddress());
}

std::string HttpSession::localAddress() {
    beast::error_code ec;
    const auto local = tcp().socket().local_endpoint(ec);
    return ec ? std::string() : local.address().to_string();
}

bool HttpSession::originAllowed(const char* client) {
    const HttpRequest& request = parser_->get();
    const std::string_view origin(request[http::field::origin].data(), request[http::field::origin].size());
    const std::string host = targetOf(request).host;
    const auto verdict = context_.settings().origins.judge(origin, host, tls_ ? "https" : "http", localAddress());
    if (verdict == OriginPolicy::Verdict::Allowed) return true;
    if (verdict == OriginPolicy::Verdict::UnknownHost)
        consoleOut(LineKind::Warning,
                   "refused %s for host %s: not a name of this service (see --server-name)\n", client,
                   escapedForConsole(host.data(), host.size()).c_str());
    else
        consoleOut(LineKind::Warning, "refused %s from origin %s: not allowed by --allow-origin\n", client,
                   escapedForConsole(origin.data(), origin.size()).c_str());
    flushConsole();
    answer(plainResponse(http::status::forbidden, request.version()));
    return false;
}

bool HttpSession::queryRefused(const std::string& query, std::string_view lastEventId) {
    const ServerContent* content = context_.settings().content;
    const std::string refusal = content ? content->refusal(query, lastEventId) : std::string();
    if (refusal.empty()) return false;
    answer(plainResponse(http::status::bad_request, parser_->get().version(), refusal.c_str()));
    return true;
}

void HttpSession::becomeWebSocket() {
    if (!originAllowed("a WebSocket client")) return;
    std::string query = targetOf(parser_->get()).query;
    if (queryRefused(query, {})) return;
    auto connection = std::make_shared<WebSocketSession>(std::move(stream_), std::move(tls_), context_,
                                                         std::move(*slot_), std::move(query));
    slot_.reset();
    context_.adopt(connection);
    connection->accept(parser_->release());
}

// An event stream cannot show the token in a message, and a browser's
// EventSource sends no header of its own choosing: here, and only here,
// the token may come in the query.
void HttpSession::becomeEventStream() {
    if (!originAllowed("an event stream client")) return;
    const HttpRequest& request = parser_->get();
    std::string query = targetOf(request).query;
    const std::string& token = context_.settings().token;
    if (!token.empty()) {
        const auto header = request[http::field::authorization];
        const auto given = queryParameter(query, "token");
        if (!bearerMatches(token, std::string_view(header.data(), header.size())) &&
            !(given && tokenMatches(token, percentDecoded(*given)))) {
            HttpResponse refused = plainResponse(http::status::unauthorized, request.version(),
                                                 "the access token is needed: ?token=TOKEN or Authorization: Bearer TOKEN");
            refused.set(http::field::www_authenticate, "Bearer");
            answer(std::move(refused));
            return;
        }
    }
    const auto lastId = request["Last-Event-ID"];
    std::string lastEventId(lastId.data(), lastId.size());
    if (queryRefused(query, lastEventId)) return;
    auto connection = std::make_shared<EventStreamSession>(std::move(stream_), std::move(tls_), context_,
                                                           std::move(*slot_), std::move(query), std::move(lastEventId));
    slot_.reset();
    context_.adopt(connection);
    connection->start(headLines(crossOrigin_));
}

template <class Response>
void HttpSession::answer(Response response) {
    for (const auto& [name, value] : crossOrigin_) response.set(name, value);
    auto shared = std::make_shared<Response>(std::move(response));
    tcp().expires_after(kHandshakeTimeout);
    std::visit(
        [this, &shared](auto& stream) {
            http::async_write(stream, *shared, [self = shared_from_this(), shared](beast::error_code, std::size_t) {
                self->finish();
            });
        },
        stream_);
}

// The response is the last thing on the connection. TLS says so with its
// close_notify first; the timer still bounds a peer that never answers it.
void HttpSession::finish() {
    if (auto* tls = std::get_if<TlsStream>(&stream_)) {
        tls->async_shutdown([self = shared_from_this()](beast::error_code, std::size_t) {});
        return;
    }
    lingerThenClose();
}

void HttpSession::lingerThenClose() {
    beast::error_code ignored;
    tcp().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    // The rest of a request refused before it was read whole may still be
    // coming: closing with it unread would reset the connection, and the
    // client could lose the answer. It is read and dropped until the client
    // closes, for a short while at most.
    tcp().expires_after(kLingerTimeout);
    dropUntilClosed();
}

void HttpSession::dropUntilClosed() {
    buffer_.clear();
    tcp().async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (!ec) self->dropUntilClosed();
    });
}

}  // namespace server
