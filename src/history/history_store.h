// The history on disk: DIR/history.db (SQLite, WAL, synchronous=FULL), with
// the kept scans, the numbers reserved ahead, the numbers restarts skipped
// or lost, and whether the last run ended with all its scans stored. Used by one thread at a time: the history's lock or its storing
// thread; each call is one transaction.
#pragma once

#include "history/scan_history.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

class HistoryStore {
public:
    static constexpr const char* kFileName = "history.db";
    // Beside it after a clean end: removing a file works on a full disk
    // too, so a run that cannot write its store still leaves it unended.
    static constexpr const char* kEndedName = "history.ended";

    // Opens DIR/history.db, creating it. A damaged store is moved aside (one
    // console line) and a fresh one begun above whatever of its numbers can
    // still be read. Null, with the reason, when none can be opened.
    static std::unique_ptr<HistoryStore> open(const std::string& dir, std::string& problem);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Numbers up to it may have been given: a start goes on above it. For a
    // store begun now, the clock's floor (or a damaged one's last number).
    std::uint64_t reserved() const { return reserved_; }
    // Whether the store had been begun by an earlier run.
    bool continued() const { return continued_; }
    // Raises the reservation, synchronously on disk.
    bool reserve(std::uint64_t upTo, std::string& problem);
    // The newest `depth` scans kept, oldest first.
    std::vector<NumberedScan> load(std::size_t depth, std::string& problem);
    // Numbers that no scan was given, or that went to scans lost: above
    // `after` and below `first`.
    struct Gap {
        std::uint64_t after;
        std::uint64_t first;
        bool lost;
    };
    // Those of the latest starts, oldest first.
    std::vector<Gap> gaps(std::string& problem);
    bool addGap(const Gap& gap, std::string& problem);
    // How the last run ended: with every number it gave either stored or
    // skipped (and its last number, 0 if not known), or otherwise (killed,
    // a power cut, scans it could not store, or no store written at all),
    // which is what a store that a run is using says: the store's mark and
    // the file beside it both say a clean end. A store from before the mark
    // counts as ended so.
    struct Ending {
        bool clean = true;
        std::uint64_t last = 0;
    };
    Ending ending() const { return ending_; }
    // The mark of a run going on, or of one that ended with `last` its last
    // number, every scan stored; synchronously on disk. forgetEnding()
    // removes the file alone, for a run that cannot use the store.
    static bool forgetEnding(const std::string& dir, std::string& problem);
    bool forgetEnding(std::string& problem) { return forgetEnding(dir_, problem); }
    bool markRunning(std::string& problem);
    bool markEnded(std::uint64_t last, std::string& problem);
    // Adds the scans and leaves the newest `depth`, in one transaction.
    bool write(const std::deque<NumberedScan>& scans, std::size_t depth, std::string& problem);
    // The highest number of a kept scan, 0 if none.
    std::uint64_t newestKept();

private:
    HistoryStore(sqlite3* db, const std::string& dir) : db_(db), dir_(dir) {}
    bool runSql(const char* sql, std::string& problem);

    sqlite3* db_;
    const std::string dir_;
    bool setEnding(bool clean, std::uint64_t last, std::string& problem);

    std::uint64_t reserved_ = 0;
    bool continued_ = false;
    Ending ending_;
};
