// The last scans published, in memory, oldest first, at most `depth`; and
// the numbers that restarts skipped, so that what a client missed is
// counted without them, or lost, so that a client is told it may have
// missed scans there.
#pragma once

#include "history/scan_history.h"

#include <cstddef>
#include <cstdint>
#include <deque>

class KeptScans {
public:
    explicit KeptScans(std::size_t depth) : depth_(depth) {}

    // A scan published; the oldest goes past the depth.
    void add(const NumberedScan& scan);
    // No scan was given a number above `after` and below `first`, as far as
    // the history knows.
    void skipped(std::uint64_t after, std::uint64_t first) { addGap({after, first, false}); }
    // Numbers above `after` and below `first` may have gone to scans that
    // nobody can have any more, and how many is not known.
    void lost(std::uint64_t after, std::uint64_t first) { addGap({after, first, true}); }
    // The kept scans above `seq`, and how many numbers above it that have
    // been published are no longer kept; `last` is the last number given.
    ScansSince since(std::uint64_t seq, std::size_t limit, std::uint64_t last) const;

    std::uint64_t oldest() const { return scans_.empty() ? 0 : scans_.front().seq; }
    std::size_t size() const { return scans_.size(); }
    std::size_t depth() const { return depth_; }
    // The first number of the latest start, as far as known (0: none).
    std::uint64_t latestStart() const { return gaps_.empty() ? 0 : gaps_.back().first; }

private:
    struct Gap {
        std::uint64_t after;
        std::uint64_t first;
        bool lost;
    };
    void addGap(const Gap& gap);
    std::uint64_t skippedBetween(std::uint64_t seq, std::uint64_t upper) const;
    bool lostBetween(std::uint64_t seq, std::uint64_t upper) const;

    // One per start: so many starts are years of a box's life, and the
    // oldest matter only to clients that were away that long.
    static constexpr std::size_t kMaxSkips = 1000;

    const std::size_t depth_;
    std::deque<NumberedScan> scans_;
    std::deque<Gap> gaps_;  // ascending
    std::uint64_t lastPublished_ = 0;
};
