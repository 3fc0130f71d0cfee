#include "listener.h"

#include "http_session.h"
#include "console/console_lines.h"

#include <cstdio>
#include <memory>

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

}  // namespace

namespace server {

Listener::Listener(Context& context, const std::string& address, unsigned short port)
    : context_(context),
      address_(address),
      port_(port),
      acceptor_(context.io),
      retryTimer_(context.io),
      listenTimer_(context.io) {
    listen();
}

void Listener::listen() {
    boost::system::error_code ec, ignored;
    acceptor_.close(ignored);
    const tcp::endpoint endpoint(net::ip::make_address(address_, ec), port_);
    if (!ec) acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) acceptor_.close(ignored);
    error_ = ec;
}

void Listener::retryEvery(std::chrono::milliseconds interval, std::function<void()> listening) {
    listenTimer_.expires_after(interval);
    listenTimer_.async_wait([this, interval, listening = std::move(listening)](boost::system::error_code ec) mutable {
        if (ec) return;
        listen();
        if (error_) return retryEvery(interval, std::move(listening));
        acceptNext();
        listening();
    });
}

void Listener::acceptNext() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void Listener::onAccept(boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;  // the listener was closed
    if (ec) {
        // Out of descriptors, say: keep listening, but give the system a
        // moment rather than spin.
        consoleErr(LineKind::Warning, "accept: %s\n", ec.message().c_str());
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([this](boost::system::error_code waitError) {
            if (!waitError) acceptNext();
        });
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::make_shared<HttpSession>(std::move(socket), context_)->start();
    // At the limit, further clients wait in the listen queue until one
    // leaves.
    if (context_.hasRoom())
        acceptNext();
    else
        context_.whenRoomAgain([this] { acceptNext(); });
}

}  // namespace server
