#include "http_session.h"

#include "console.h"
#include "http_responder.h"
#include "websocket_session.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include <cstdio>

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr std::uint32_t kMaxHeaderBytes = 8 * 1024;
constexpr std::uint64_t kMaxBodyBytes = 1024;

}  // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, WsContext& context)
    : stream_(std::move(socket)), context_(context), slot_(context.takeSlot()) {}

void HttpSession::start() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    stream_.expires_after(server::kHandshakeTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
}

void HttpSession::onRead(beast::error_code ec) {
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == boost::asio::error::eof) return;
    if (ec) {
        // Too large, or not HTTP at all.
        if (ec.category() == http::make_error_code(http::error::bad_version).category())
            answer(plainResponse(http::status::bad_request, 11));
        return;
    }
    if (beast::websocket::is_upgrade(parser_->get())) {
        becomeWebSocket();
        return;
    }
    answer(respondTo(parser_->get(), context_));
}

void HttpSession::becomeWebSocket() {
    const HttpRequest& request = parser_->get();
    const std::string_view origin(request[http::field::origin].data(), request[http::field::origin].size());
    const std::string_view host(request[http::field::host].data(), request[http::field::host].size());
    if (!context_.settings().origins.allows(origin, host, "http")) {
        printf("refused a WebSocket client from origin %s: not allowed by --allow-origin\n",
               escapedForConsole(origin.data(), origin.size()).c_str());
        flushConsole();
        answer(plainResponse(http::status::forbidden, request.version()));
        return;
    }
    auto connection = std::make_shared<WsConnection>(std::move(stream_), context_, std::move(*slot_));
    slot_.reset();
    context_.adopt(connection);
    connection->accept(parser_->release());
}

template <class Response>
void HttpSession::answer(Response response) {
    auto shared = std::make_shared<Response>(std::move(response));
    stream_.expires_after(server::kHandshakeTimeout);
    http::async_write(stream_, *shared, [self = shared_from_this(), shared](beast::error_code, std::size_t) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    });
}
