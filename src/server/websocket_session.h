// One WebSocket client: the opening handshake on a request the HTTP session
// has read, its messages to the on-message handler, and the scans queued
// for it, written in order.
#pragma once

#include "client_stream.h"
#include "direct_stream.h"
#include "server_context.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <memory>
#include <variant>

namespace server {

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(ClientStream stream, TlsSettings tls, Context& context, ConnectionSlot slot);

    int id() const { return id_; }
    Context& context() { return context_; }
    bool encrypted() const;

    // Completes the opening handshake that the request began.
    void accept(boost::beast::http::request<boost::beast::http::string_body> request);

    bool makeNonBlocking();
    // Tells the close handler, once, about a connection that had been opened.
    void reportClosed();
    void enqueue(const Outgoing& message);

    bool sending() const;
    bool writeStalled(std::chrono::steady_clock::time_point now) const;
    // Closes the socket; the pending read then fails and reports the close.
    void drop(DropReason reason);

private:
    void onHandshake(boost::beast::error_code ec);
    void readNext();
    void onRead(boost::beast::error_code ec);
    void refuseUnauthorized();
    // Lets a client that asked for something through the token check have a
    // subscriber's backlog.
    void trust();
    void writeNext();
    void onWrite(boost::beast::error_code ec);
    void close();
    PlainStream& tcp();
    DirectStream* direct();
    const DirectStream* direct() const;
    void sendDirect(DirectStream& stream, const Outgoing& message);

    using WsStream = std::variant<boost::beast::websocket::stream<DirectStream>,
                                  boost::beast::websocket::stream<TlsStream>>;
    static WsStream websocketOver(ClientStream stream);

    WsStream ws_;
    TlsSettings tls_;
    boost::beast::flat_buffer incoming_;
    std::deque<Outgoing> outgoing_;
    std::size_t queuedBytes_ = 0;
    std::chrono::steady_clock::time_point lastWriteProgress_;
    Context& context_;
    ConnectionSlot slot_;
    const int id_;
    bool opened_ = false;
    bool acceptingSends_ = false;
    bool trusted_ = false;
};

}  // namespace server
