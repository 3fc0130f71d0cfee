#include "history_replay.h"

#include "resume_messages.h"

#include <utility>

HistoryReplay::HistoryReplay(const ScanHistory& history, std::uint64_t after, std::uint64_t upTo, bool stream,
                             ScannerFilter filter, ReplayCounts& counts)
    : history_(history), after_(after), upTo_(upTo), stream_(stream), filter_(std::move(filter)), counts_(counts) {}

std::vector<server::SharedText> HistoryReplay::next(std::size_t count) {
    std::vector<server::SharedText> messages;
    while (messages.empty() && after_ < upTo_) {
        const ScansSince found = history_.between(after_, upTo_, count);
        if (found.missed > 0) {
            messages.push_back(std::make_shared<const std::string>(
                missedMessage(found, after_, upTo_, stream_, !filter_.everyScanner())));
            ++counts_.missedNotices;
        }
        for (const NumberedScan& scan : found.scans) {
            if (!filter_.passes(scan.scanner)) continue;
            messages.push_back(stream_ ? std::make_shared<const std::string>(scanEvent(scan)) : scan.numbered);
            ++counts_.replayed;
        }
        after_ = found.scans.empty() ? upTo_ : found.scans.back().seq;
    }
    return messages;
}
