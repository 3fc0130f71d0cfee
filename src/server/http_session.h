// A new connection: completes the TLS handshake when the service has a
// certificate (a plain client there is told to use https:// or wss://), reads its first request, with the same time limit and size
// limits for every client, and answers it over HTTP or hands the connection
// on as a WebSocket client (if its origin may subscribe).
#pragma once

#include "client_stream.h"
#include "cross_origin.h"
#include "server_context.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>
#include <string>

namespace server {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket, Context& context);
    void start();

private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void onFirstByte(boost::beast::error_code ec, std::size_t got);
    void refusePlainClient();
    void onTlsHandshake(boost::beast::error_code ec);
    void readRequest();
    void onRead(boost::beast::error_code ec);
    bool hostKnown();
    std::string localAddress();
    bool originAllowed(const char* client);
    // The query's refusal by the service's content, answered with 400.
    bool queryRefused(const std::string& query, std::string_view lastEventId);
    bool readableAcrossOrigins(const std::string& path) const;
    void answerFeedRequest();
    void becomeWebSocket();
    void becomeEventStream();
    template <class Response>
    void answer(Response response);
    void finish();
    void lingerThenClose();
    void dropUntilClosed();
    PlainStream& tcp();

    TlsSettings tls_;
    ClientStream stream_;
    boost::beast::flat_buffer buffer_;
    char firstByte_ = 0;
    std::optional<Parser> parser_;
    Context& context_;
    std::optional<ConnectionSlot> slot_;
    HeaderFields crossOrigin_;  // for every answer on the scans' own paths
};

}  // namespace server
