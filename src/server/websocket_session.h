// One WebSocket client: the opening handshake on a request the HTTP session
// has read, its messages to the on-message handler, and the scans queued
// for it, written in order.
#pragma once

#include "client_stream.h"
#include "connection.h"
#include "direct_stream.h"
#include "server_context.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <memory>
#include <variant>

namespace server {

class WebSocketSession : public Connection {
public:
    WebSocketSession(ClientStream stream, TlsSettings tls, Context& context, ConnectionSlot slot, std::string query);

    bool encrypted() const override;

    // Completes the opening handshake that the request began.
    void accept(boost::beast::http::request<boost::beast::http::string_body> request);

    bool makeNonBlocking() override;
    void reportClosed() override;
    bool writeStalled(std::chrono::steady_clock::time_point now) const override;
    void drop(DropReason reason) override;

protected:
    void write(const Outgoing& message) override;
    bool open() const override { return acceptingSends_; }
    bool wantsMore() const override;
    void gatherWrites(bool on) override;
    bool writing() const override;

private:
    std::shared_ptr<WebSocketSession> self() { return std::static_pointer_cast<WebSocketSession>(shared_from_this()); }
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
    ConnectionSlot slot_;
    bool opened_ = false;
    bool acceptingSends_ = false;
    bool trusted_ = false;
};

}  // namespace server
