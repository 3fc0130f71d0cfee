// What a request asks for: the host it names and the path, whichever of the
// two forms a client uses (RFC 9112, section 3.2): "/status" with a Host
// header, or "http://box:9010/status", whose host then counts instead.
#pragma once

#include "http_responder.h"
#include "server/server_content.h"

#include <optional>
#include <string>
#include <string_view>

struct RequestTarget {
    std::string host;  // as given: name or address, with a port perhaps
    std::string path;  // without the query
    std::string query;  // what follows '?', without it
};

RequestTarget targetOf(const HttpRequest& request);
