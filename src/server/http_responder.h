// Answers to plain HTTP requests: the live page, /status and /metrics.
#pragma once

#include <boost/beast/http.hpp>

namespace server {
class Context;
}

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

HttpResponse respondTo(const HttpRequest& request, server::Context& context);

// A response with only a status and a short text, for requests refused
// before they were understood.
HttpResponse plainResponse(boost::beast::http::status status, unsigned version, const char* why = nullptr);
