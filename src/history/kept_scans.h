// The last scans published, in memory, oldest first, at most `depth`; and
// the numbers that restarts skipped, so that what a client missed is
// counted without them.
#pragma once

#include "history/scan_history.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

class KeptScans {
public:
    explicit KeptScans(std::size_t depth) : depth_(depth) {}

    // A scan published; the oldest goes past the depth.
    void add(const NumberedScan& scan);
    // No scan was given a number above `after` and below `first`, as far as
    // the history knows.
    void skipped(std::uint64_t after, std::uint64_t first);
    // The kept scans above `seq`, and how many numbers above it that have
    // been published are no longer kept; `last` is the last number given.
    ScansSince since(std::uint64_t seq, std::size_t limit, std::uint64_t last) const;

    std::uint64_t oldest() const { return scans_.empty() ? 0 : scans_.front().seq; }
    std::size_t size() const { return scans_.size(); }
    std::size_t depth() const { return depth_; }
    const std::deque<std::pair<std::uint64_t, std::uint64_t>>& skips() const { return skips_; }

private:
    std::uint64_t skippedBetween(std::uint64_t seq, std::uint64_t upper) const;

    // One per start: so many starts are years of a box's life, and the
    // oldest matter only to clients that were away that long.
    static constexpr std::size_t kMaxSkips = 1000;

    const std::size_t depth_;
    std::deque<NumberedScan> scans_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> skips_;  // (after, first), ascending
    std::uint64_t lastPublished_ = 0;
};
