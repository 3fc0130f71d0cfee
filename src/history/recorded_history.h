// The history as the service runs it: numbers given under one lock, scans
// kept in memory at once and written to the store (if there is one) by a
// thread of its own, which also reserves numbers ahead in the store so that
// giving one never waits for the disk.
#pragma once

#include "history/scan_history.h"
#include "kept_scans.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class RecordedHistory : public ScanHistory {
public:
    // Numbers begin at `first`; `skippedAfter` is the last number known to
    // have been given before it.
    RecordedHistory(std::size_t depth, std::uint64_t first, std::uint64_t skippedAfter);
    ~RecordedHistory() override;

    NumberedScan number(const std::string& plainMessage, std::uint64_t size, const std::string& text,
                        const std::string& scanner) override;
    void keep(const NumberedScan& scan) override;
    ScansSince since(std::uint64_t seq, std::size_t limit) const override;
    std::uint64_t last() const override;
    std::uint64_t oldest() const override;
    std::size_t kept() const override;
    std::size_t depth() const override { return kept_.depth(); }

private:
    mutable std::mutex guard_;
    KeptScans kept_;
    std::uint64_t next_;
};
