#include "publication/scan_feeds.h"

#include "resume_point.h"
#include "scanner_filter.h"

std::string ScanFeeds::refusal(std::string_view query, std::string_view lastEventId) const {
    std::string problem;
    if (resumePointOf(query, lastEventId, problem)) ScannerFilter::of(query, scanners_, problem);
    return problem;
}

namespace {

// The scans numbered above `seq` that pass the filter, as a body holds
// them: at most the limits. A filtered client reads on past the scans of
// other scanners, so that a page for a quiet till is not stuck behind a
// busy one's. The missed numbers are those of every scanner.
struct FoundScans {
    std::vector<NumberedScan> scans;
    // What the first read says of missed scans, taken before the limits can
    // end the reading: a poller cut short is still told.
    std::uint64_t missed = 0;
    bool lost = false;
};

FoundScans scansFor(const ScanHistory& history, std::uint64_t seq, const ScannerFilter& filter) {
    FoundScans found;
    std::size_t bytes = 1;  // as the body counts them: "[", and a separator before each scan
    for (bool firstRead = true;; firstRead = false) {
        ScansSince read = history.since(seq, ScanFeeds::kMaxScansPerRequest);
        if (firstRead) {
            found.missed = read.missed;
            found.lost = read.lost;
        }
        for (NumberedScan& scan : read.scans) {
            seq = scan.seq;
            if (!filter.passes(scan.scanner)) continue;
            if (!found.scans.empty() && bytes + scan.numbered->size() > ScanFeeds::kMaxBytesPerRequest) return found;
            bytes += (found.scans.empty() ? 1 : 2) + scan.numbered->size();
            found.scans.push_back(std::move(scan));
            if (found.scans.size() == ScanFeeds::kMaxScansPerRequest) return found;
        }
        if (!read.more) return found;
    }
}

}  // namespace

// The body is the array it has always been; the headers tell a poller the
// box's last number (below its own: another box's, or a clock set back)
// and, for since=SEQ, how many scans above SEQ it cannot have.
ServedDocument ScanFeeds::document(std::string_view, std::string_view query) const {
    std::string problem;
    const auto point = resumePointOf(query, {}, problem);
    const auto filter = point ? ScannerFilter::of(query, scanners_, problem) : std::nullopt;
    if (!filter) return {400, "text/plain; charset=utf-8", "Bad Request: " + problem + "\n", {}};
    ServedDocument answer{200, "application/json", "[", {}};
    std::string& body = answer.body;
    if (!point->live || !point->asked) {
        const FoundScans found = scansFor(history_, point->seq, *filter);
        if (point->asked && (found.lost || found.missed > 0))
            answer.headers.emplace_back("X-TirnSerial-Missed", found.lost ? "unknown" : std::to_string(found.missed));
        for (const NumberedScan& scan : found.scans) body += (body.size() > 1 ? ",\n" : "\n") + *scan.numbered;
    }
    body += body.size() > 1 ? "\n]\n" : "]\n";
    // Taken after the scans, so that none in the body is above it.
    answer.headers.emplace_back("X-TirnSerial-Last", std::to_string(history_.last()));
    return answer;
}
