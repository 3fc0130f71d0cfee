// Where a client asks to begin: `since=SEQ` in its request's query (or, for
// an event stream, the Last-Event-ID a browser sends when it reconnects,
// which wins), `since=now`, or nothing at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ResumePoint {
    bool asked = false;        // the client wants numbered messages
    bool live = true;          // from the next scan on; else after `seq`
    std::uint64_t seq = 0;
};

// The point, or nothing when the value is no number and not "now" (and
// `problem` says so).
std::optional<ResumePoint> resumePointOf(std::string_view query, std::string_view lastEventId, std::string& problem);

// A number in decimal digits that fits 64 bits, or "now".
std::optional<ResumePoint> parsedSince(std::string_view value);
