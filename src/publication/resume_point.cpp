#include "resume_point.h"

#include "server/server_content.h"

#include <limits>

std::optional<ResumePoint> parsedSince(std::string_view value) {
    if (value == "now") return ResumePoint{true, true, 0};
    if (value.empty() || value.size() > 20) return std::nullopt;
    std::uint64_t seq = 0;
    for (const char digit : value) {
        if (digit < '0' || digit > '9') return std::nullopt;
        const auto add = static_cast<std::uint64_t>(digit - '0');
        if (seq > (std::numeric_limits<std::uint64_t>::max() - add) / 10) return std::nullopt;
        seq = seq * 10 + add;
    }
    return ResumePoint{true, false, seq};
}

std::optional<ResumePoint> resumePointOf(std::string_view query, std::string_view lastEventId, std::string& problem) {
    if (!lastEventId.empty()) {
        if (auto point = parsedSince(lastEventId)) return point;
        problem = "Last-Event-ID is not a scan number";
        return std::nullopt;
    }
    const auto since = queryParameter(query, "since");
    if (!since) return ResumePoint{};
    if (auto point = parsedSince(*since)) return point;
    problem = "since must be a scan number or now";
    return std::nullopt;
}
