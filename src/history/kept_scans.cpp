#include "kept_scans.h"

#include <algorithm>

void KeptScans::add(const NumberedScan& scan) {
    lastPublished_ = std::max(lastPublished_, scan.seq);
    if (depth_ == 0) return;
    scans_.push_back(scan);
    while (scans_.size() > depth_) scans_.pop_front();
}

void KeptScans::addGap(const Gap& gap) {
    if (gap.first <= gap.after + 1) return;
    lastPublished_ = std::max(lastPublished_, gap.after);
    gaps_.push_back(gap);
    while (gaps_.size() > kMaxSkips) gaps_.pop_front();
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
    // A lost range may lie between kept scans too (a kill, then scans).
    answer.lost = lostBetween(seq, last + 1);
    auto from = std::upper_bound(scans_.begin(), scans_.end(), seq,
                                 [](std::uint64_t value, const NumberedScan& scan) { return value < scan.seq; });
    const auto available = static_cast<std::size_t>(scans_.end() - from);
    const std::size_t taken = std::min(available, limit);
    answer.scans.assign(from, from + static_cast<std::ptrdiff_t>(taken));
    answer.more = taken < available;
    return answer;
}

namespace {

// How many numbers strictly between `seq` and `upper` lie strictly between
// `after` and `first`.
std::uint64_t overlap(std::uint64_t after, std::uint64_t first, std::uint64_t seq, std::uint64_t upper) {
    const std::uint64_t low = std::max(after + 1, seq + 1);
    const std::uint64_t high = std::min(first, upper);  // exclusive
    return high > low ? high - low : 0;
}

// What a client with no number yet (0) asks for is all there is: the
// numbers before a store that was begun afresh are nothing it had, and
// count as skipped for it.
bool lostTo(std::uint64_t after, std::uint64_t seq) { return after != 0 || seq != 0; }

}  // namespace

// How many numbers strictly between `seq` and `upper` lie in a skip.
std::uint64_t KeptScans::skippedBetween(std::uint64_t seq, std::uint64_t upper) const {
    std::uint64_t count = 0;
    for (const Gap& gap : gaps_)
        if (!gap.lost || !lostTo(gap.after, seq)) count += overlap(gap.after, gap.first, seq, upper);
    return count;
}

bool KeptScans::lostBetween(std::uint64_t seq, std::uint64_t upper) const {
    return std::any_of(gaps_.begin(), gaps_.end(), [&](const Gap& gap) {
        return gap.lost && lostTo(gap.after, seq) && overlap(gap.after, gap.first, seq, upper) > 0;
    });
}
