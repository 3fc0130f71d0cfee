// What the server serves for the service beyond its own pages and figures:
// documents at paths the service names (the history of scans, say), and
// whether a client that asks for a stream with a query may have one. The
// server only asks, so that it knows nothing of what the content is. Each
// call comes from the server thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The value of the parameter `name` in a query ("a=1&since=5"), as given
// (not decoded); nothing when it is absent.
std::optional<std::string> queryParameter(std::string_view query, std::string_view name);
// Every value of a parameter given more than once (scanner=a&scanner=b),
// in order, as given; at most `limit` + 1, so that a caller can refuse
// more than `limit` without holding what a client sent beyond it.
std::vector<std::string> queryParameters(std::string_view query, std::string_view name, std::size_t limit);
// A query value as the client meant it: %XX escapes decoded, as a browser
// writes them for characters such as + / = (a base64 token's).
std::string percentDecoded(std::string_view value);

struct ServedDocument {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // (name, value) beside the server's own
};

class ServerContent {
public:
    virtual ~ServerContent() = default;

    // Whether a WebSocket client or an event stream (/events) may open with
    // this query (what follows '?', without it) and, for an event stream,
    // the Last-Event-ID it sent: empty when it may, else the reason, which
    // is answered with 400.
    virtual std::string refusal(std::string_view /*query*/, std::string_view /*lastEventId*/) const { return ""; }
    // Whether GET of the path is the service's (answered by document()).
    virtual bool serves(std::string_view /*path*/) const { return false; }
    virtual ServedDocument document(std::string_view /*path*/, std::string_view /*query*/) const { return {}; }
};
