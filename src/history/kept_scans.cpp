#include "kept_scans.h"

#include <algorithm>

void KeptScans::add(const NumberedScan& scan) {
    lastPublished_ = std::max(lastPublished_, scan.seq);
    if (depth_ == 0) return;
    scans_.push_back(scan);
    while (scans_.size() > depth_) scans_.pop_front();
}

void KeptScans::skipped(std::uint64_t after, std::uint64_t first) {
    if (first <= after + 1) return;
    lastPublished_ = std::max(lastPublished_, after);
    skips_.emplace_back(after, first);
    while (skips_.size() > kMaxSkips) skips_.pop_front();
}

ScansSince KeptScans::since(std::uint64_t seq, std::size_t limit, std::uint64_t last) const {
    ScansSince answer;
    if (seq > last) {
        answer.ahead = true;
        return answer;
    }
    // Numbers from here up were kept, or are not published yet.
    const std::uint64_t upper = scans_.empty() ? lastPublished_ + 1 : scans_.front().seq;
    if (seq + 1 < upper) answer.missed = upper - seq - 1 - skippedBetween(seq, upper);
    auto from = std::upper_bound(scans_.begin(), scans_.end(), seq,
                                 [](std::uint64_t value, const NumberedScan& scan) { return value < scan.seq; });
    const auto available = static_cast<std::size_t>(scans_.end() - from);
    const std::size_t taken = std::min(available, limit);
    answer.scans.assign(from, from + static_cast<std::ptrdiff_t>(taken));
    answer.more = taken < available;
    return answer;
}

// How many numbers strictly between `seq` and `upper` lie in a skip.
std::uint64_t KeptScans::skippedBetween(std::uint64_t seq, std::uint64_t upper) const {
    std::uint64_t count = 0;
    for (const auto& [after, first] : skips_) {
        const std::uint64_t low = std::max(after + 1, seq + 1);
        const std::uint64_t high = std::min(first, upper);  // exclusive
        if (high > low) count += high - low;
    }
    return count;
}
