// A client's replay of the history, read through a cursor into the shared
// history as the client takes it, never copied whole: a client that asks
// for ten thousand scans holds a few, and reading them takes the history's
// own lock for a few scans at a time, not the one the live scans wait on.
#pragma once

#include "history/scan_history.h"
#include "scanner_filter.h"
#include "server/server.h"

#include <atomic>
#include <cstdint>

// How many scans replays have sent, and notices of missed scans, since the start.
struct ReplayCounts {
    std::atomic<std::uint64_t> replayed{0};
    std::atomic<std::uint64_t> missedNotices{0};
};

class HistoryReplay : public server::ReplaySource {
public:
    // The scans above `after` up to `upTo` (the newest number when the
    // client joined the live scans, which bring it the rest), as scan
    // messages or as events, of the scanners the filter passes.
    HistoryReplay(const ScanHistory& history, std::uint64_t after, std::uint64_t upTo, bool stream,
                  ScannerFilter filter, ReplayCounts& counts);

    // The next scans; first a further notice when the history let go of
    // some before the client read them (it read too slowly). Other
    // scanners' scans are read past, so that none is an empty answer
    // before the end.
    std::vector<server::SharedText> next(std::size_t count) override;

private:
    const ScanHistory& history_;
    std::uint64_t after_;  // the last number sent, or counted missed
    const std::uint64_t upTo_;
    const bool stream_;
    const ScannerFilter filter_;
    ReplayCounts& counts_;
};
