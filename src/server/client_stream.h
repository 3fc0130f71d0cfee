// A client's connection: plain TCP, or TLS over it when the service has a
// certificate. Sessions hold one or the other and visit it.
#pragma once

#include "tls_stream.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <memory>
#include <variant>

using PlainStream = boost::beast::tcp_stream;
using ClientStream = std::variant<PlainStream, TlsStream>;

// The TLS settings a connection was accepted with, kept for as long as the
// connection lives: a reload replaces the server's, not this one's.
using TlsSettings = std::shared_ptr<boost::asio::ssl::context>;
