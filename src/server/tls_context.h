// The server's TLS settings, loaded from the certificate and key files.
// Internal to the server.
#pragma once

#include "server/server.h"

#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <memory>
#include <string>

// TLS 1.2 (unless TLS 1.3 only is asked for) and 1.3 after Mozilla's
// intermediate profile, no compression, renegotiation or resumption. Null, with the reason in `problem`, when the files
// cannot be used.
std::shared_ptr<boost::asio::ssl::context> loadTlsContext(const TlsFiles& files, std::string& problem);

// When the certificate the context serves expires, in seconds since the
// epoch.
std::int64_t certificateExpiry(boost::asio::ssl::context& context);
