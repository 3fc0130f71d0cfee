// Accepts connections on the service's address and port, as long as the
// connection limit has room, and gives each to an HTTP session.
#pragma once

#include "server_context.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace server {

class Listener {
public:
    // Tries to listen at once; error() says why it could not.
    Listener(Context& context, const std::string& address, unsigned short port);
    bool isOk() const { return !error_; }
    const boost::system::error_code& error() const { return error_; }
    void acceptNext();
    // Tries again every `interval` until the port listens (an address that
    // is not up yet at boot, a port another program holds), then accepts
    // and calls `listening`.
    void retryEvery(std::chrono::milliseconds interval, std::function<void()> listening);

private:
    void listen();
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    Context& context_;
    const std::string address_;
    const unsigned short port_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::steady_timer listenTimer_;
    boost::system::error_code error_;
};

}  // namespace server
