// The history as the service runs it: numbers given under one lock, scans
// kept in memory at once and written to the store (if there is one) by a
// thread of its own, which also reserves numbers ahead in the store so that
// giving one does not wait for the disk.
#pragma once

#include "history/scan_history.h"
#include "history_store.h"
#include "kept_scans.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class RecordedHistory : public ScanHistory {
public:
    // Without a store: numbers begin at `first`, and none below it counts
    // as missed.
    RecordedHistory(std::size_t depth, std::uint64_t first);
    // With one: numbers go on above its reservation, its scans are kept
    // again.
    RecordedHistory(std::size_t depth, std::unique_ptr<HistoryStore> store);
    // Stores what is still waiting, and marks the run's end as clean if it
    // could.
    ~RecordedHistory() override;
    RecordedHistory(const RecordedHistory&) = delete;
    RecordedHistory& operator=(const RecordedHistory&) = delete;

    NumberedScan number(const std::string& plainMessage, std::uint64_t size, const std::string& text,
                        const std::string& scanner, const ScanContent& content) override;
    void keep(const NumberedScan& scan) override;
    ScansSince since(std::uint64_t seq, std::size_t limit) const override;
    ScansSince between(std::uint64_t seq, std::uint64_t upTo, std::size_t limit) const override;
    std::uint64_t last() const override;
    std::uint64_t oldest() const override;
    std::size_t kept() const override;
    std::size_t depth() const override { return kept_.depth(); }

    // Numbers reserved at a time: one synchronous write for so many scans.
    static constexpr std::uint64_t kBlock = 1000;
    // Scans are stored together, at most this often: one synchronous write
    // per scan took a third of the service's CPU with scans every few
    // milliseconds. A power cut could already take the scans not yet
    // stored; this makes it at most so many more.
    static constexpr std::chrono::milliseconds kStorePause{100};
    // A store that failed is tried again after this long.
    static constexpr std::chrono::seconds kRetryPause{1};

private:
    void resume();
    HistoryStore::Gap startGap() const;
    void keepStoring();
    bool storeWaiting(std::unique_lock<std::mutex>& lock);
    void reserveAhead(std::unique_lock<std::mutex>& lock);
    void trouble(const char* what, const std::string& why);

    mutable std::mutex guard_;  // everything below
    KeptScans kept_;
    std::uint64_t next_ = 0;
    std::unique_ptr<HistoryStore> store_;  // used by the storing thread, or under guard_ when it must wait
    std::uint64_t reserved_ = 0;            // numbers up to it are reserved in the store
    std::deque<NumberedScan> waiting_;      // kept, not yet stored; at most the depth
    bool failing_ = false;                  // the store's trouble has been said
    bool stopping_ = false;
    std::condition_variable work_;
    std::thread storer_;
};
