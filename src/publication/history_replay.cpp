#include "history_replay.h"

#include "resume_messages.h"

HistoryReplay::HistoryReplay(const ScanHistory& history, std::uint64_t after, std::uint64_t upTo, bool stream,
                             ReplayCounts& counts)
    : history_(history), after_(after), upTo_(upTo), stream_(stream), counts_(counts) {}

std::vector<server::SharedText> HistoryReplay::next(std::size_t count) {
    std::vector<server::SharedText> messages;
    if (after_ >= upTo_) return messages;
    const ScansSince found = history_.between(after_, upTo_, count);
    if (found.missed > 0) {
        messages.push_back(std::make_shared<const std::string>(missedMessage(found, after_, upTo_, stream_)));
        ++counts_.missedNotices;
    }
    for (const NumberedScan& scan : found.scans)
        messages.push_back(stream_ ? std::make_shared<const std::string>(scanEvent(scan)) : scan.numbered);
    counts_.replayed += found.scans.size();
    after_ = found.scans.empty() ? upTo_ : found.scans.back().seq;
    return messages;
}
