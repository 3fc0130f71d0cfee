#include "publication/scan_feeds.h"

#include "resume_point.h"

std::string ScanFeeds::refusal(std::string_view query, std::string_view lastEventId) const {
    std::string problem;
    resumePointOf(query, lastEventId, problem);
    return problem;
}

ServedDocument ScanFeeds::document(std::string_view, std::string_view query) const {
    std::string problem;
    const auto point = resumePointOf(query, {}, problem);
    if (!point) return {400, "text/plain; charset=utf-8", "Bad Request: " + problem + "\n"};
    std::string body = "[";
    if (!point->live || !point->asked) {
        const ScansSince found = history_.since(point->seq, kMaxScansPerRequest);
        for (const NumberedScan& scan : found.scans) {
            if (body.size() > 1 && body.size() + scan.numbered->size() > kMaxBytesPerRequest) break;
            body += (body.size() > 1 ? ",\n" : "\n") + *scan.numbered;
        }
    }
    body += body.size() > 1 ? "\n]\n" : "]\n";
    return {200, "application/json", body};
}
