// Reading the scans from a page of another origin. A browser lets a page
// read a fetch's answer, or an EventSource's events, only when the box
// names the page's origin in Access-Control-Allow-Origin, and it asks first
// (an OPTIONS preflight) before it sends a header such as Authorization.
// The box names exactly the origins its origin policy let in: the one the
// request came from, never a wildcard, so the answer varies by Origin.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace server {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The fields for an answer to a request from `origin`, which the policy has
// allowed: Vary always, the rest only for a page's origin (http or https;
// not the "null" of a sandboxed frame or a file).
HeaderFields crossOriginFields(std::string_view origin);
// Those of an answer to a preflight: what a page may then send.
HeaderFields preflightFields(std::string_view origin);
// The fields as lines of a response's head.
std::string headLines(const HeaderFields& fields);

}  // namespace server
