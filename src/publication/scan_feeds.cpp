#include "publication/scan_feeds.h"

#include "resume_point.h"

std::string ScanFeeds::refusal(std::string_view query, std::string_view lastEventId) const {
    std::string problem;
    resumePointOf(query, lastEventId, problem);
    return problem;
}

// The body is the array it has always been; the headers tell a poller the
// box's last number (below its own: another box's, or a clock set back)
// and, for since=SEQ, how many scans above SEQ it cannot have.
ServedDocument ScanFeeds::document(std::string_view, std::string_view query) const {
    std::string problem;
    const auto point = resumePointOf(query, {}, problem);
    if (!point) return {400, "text/plain; charset=utf-8", "Bad Request: " + problem + "\n", {}};
    ServedDocument answer{200, "application/json", "[", {}};
    std::string& body = answer.body;
    if (!point->live || !point->asked) {
        const ScansSince found = history_.since(point->seq, kMaxScansPerRequest);
        if (point->asked && (found.lost || found.missed > 0))
            answer.headers.emplace_back("X-TirnSerial-Missed", found.lost ? "unknown" : std::to_string(found.missed));
        for (const NumberedScan& scan : found.scans) {
            if (body.size() > 1 && body.size() + scan.numbered->size() > kMaxBytesPerRequest) break;
            body += (body.size() > 1 ? ",\n" : "\n") + *scan.numbered;
        }
    }
    body += body.size() > 1 ? "\n]\n" : "]\n";
    // Taken after the scans, so that none in the body is above it.
    answer.headers.emplace_back("X-TirnSerial-Last", std::to_string(history_.last()));
    return answer;
}
