// The history component: one number for every scan, and the last scans
// kept for clients that come back. It uses the console and the text
// component.
//
// Numbers only ever go up, across restarts and power cuts too, while the
// store can be written: they are reserved a block ahead in SQLite in the
// state directory (history.db), and a start goes on above the reservation
// and the clock's floor (sequence_floor.h), whichever is higher; so they are
// consecutive within a run and jump at a start. Without a usable store they
// follow the clock alone, and go back when it does. The last `depth` scans are kept in memory for
// clients resuming, and in the store too, so that a restart keeps them;
// the store is written and the reservation extended from a thread of its
// own, never on the way to the clients (number() waits only if scans
// outrun a whole block of reserved numbers).
#pragma once

#include "text/scan_message.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One scan as it was published.
struct NumberedScan {
    std::uint64_t seq = 0;
    std::chrono::system_clock::time_point time;   // when the scan ended
    std::string scanner;                           // its scanner's name, or without one its path
    std::shared_ptr<const std::string> plain;      // the scan message, as every client has always had it
    std::shared_ptr<const std::string> numbered;   // the same with "seq", "time" and "scanner" after "Data"
};

// What a client resuming after `seq` can still have.
struct ScansSince {
    std::vector<NumberedScan> scans;  // numbered above it, oldest first, at most the limit asked for
    // Numbers above it given to scans that are no longer kept. Numbers a
    // clean restart skipped (the unused rest of the numbers an earlier run
    // had reserved) are not counted, as far as the history still knows them.
    std::uint64_t missed = 0;
    // Some numbers above it may have gone to scans the history cannot have
    // and cannot count: those a run that did not end cleanly (a kill, a
    // power cut, a disk that would not take its last scans) gave after its
    // last stored scan, or all below the first of a store begun afresh
    // (lost, damaged, or none usable). `missed` is then no exact count.
    bool lost = false;
    bool ahead = false;               // it is above the last number given: not one of ours
    bool more = false;                // the limit cut the list short
};

class ScanHistory {
public:
    // Opens or begins the store in `stateDir` (empty: none). Without a usable
    // store numbers begin above a floor taken from the clock, and `problem`
    // says why the store could not be used.
    static std::unique_ptr<ScanHistory> open(const std::string& stateDir, std::size_t depth, std::string& problem);
    virtual ~ScanHistory() = default;

    // Gives the scan the next number and builds both of its messages.
    // `content`: what the numbered message says of the scan beside its text.
    virtual NumberedScan number(const std::string& plainMessage, std::uint64_t size, const std::string& text,
                                const std::string& scanner, const ScanContent& content) = 0;
    // Keeps a scan that has been published (memory now, the store later).
    virtual void keep(const NumberedScan& scan) = 0;
    // The kept scans numbered above `seq`, oldest first, at most `limit`.
    virtual ScansSince since(std::uint64_t seq, std::size_t limit) const = 0;
    // The same for a client that has the scans above `upTo` from elsewhere
    // (a replay up to where it joined the live scans): none above it is
    // returned or counted missed. Asked again after the last one returned,
    // it reads the history a few scans at a time, and counts what left the
    // history meanwhile.
    virtual ScansSince between(std::uint64_t seq, std::uint64_t upTo, std::size_t limit) const = 0;
    // The last number given; before this run's first scan, the highest
    // number an earlier run may have given (numbers go on above it). The
    // oldest kept (0: none kept), how many are kept and how many may be.
    virtual std::uint64_t last() const = 0;
    virtual std::uint64_t oldest() const = 0;
    virtual std::size_t kept() const = 0;
    virtual std::size_t depth() const = 0;
};
