// Accepts connections on the service's address and port, as long as the
// connection limit has room, and gives each to an HTTP session.
#pragma once

#include "server_context.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

class WsListener {
public:
    WsListener(WsContext& context, const std::string& address, unsigned short port);
    bool isOk() const { return ok_; }
    void acceptNext();

private:
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    WsContext& context_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    bool ok_ = false;
};
