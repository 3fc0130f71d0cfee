// Scans on their way to the MQTT broker, kept on disk (SQLite, in the state
// directory) until the broker has them, so that an unplug, a restart, a
// crash or a power cut loses none of them.
//
// Durability: the store runs in WAL mode with synchronous=FULL, so a scan is
// on disk once its transaction has committed: it survives SIGKILL and a
// power cut alike. Scans taken off after delivery are removed in batches;
// a crash may leave a few delivered ones behind, which then go out again
// with the sequence number they had (consumers drop the duplicate). The
// numbers are the scans' own (the history gives them), stored as given.
//
// Safe to use from several threads: each call is one step of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

struct OutboxScan {
    std::uint64_t seq = 0;        // the scan's number, increasing across restarts
    std::int64_t storedAtMs = 0;  // when the scan ended, since the epoch
    std::string message;
    std::string scanner;          // its scanner: name, or path
    bool onDisk = true;           // false: the store could not take it
};

class ScanOutbox {
public:
    static constexpr const char* kFileName = "outbox.db";

    // Opens DIR/outbox.db, creating it. A damaged store is moved aside (one
    // console line) and a fresh one begun. Null, with the reason, when the
    // store cannot be opened at all.
    static std::unique_ptr<ScanOutbox> open(const std::string& dir, std::string& problem);
    ~ScanOutbox();
    ScanOutbox(const ScanOutbox&) = delete;
    ScanOutbox& operator=(const ScanOutbox&) = delete;

    // Every stored scan, oldest first.
    std::vector<OutboxScan> load(std::string& problem);
    // All of `scans` in one transaction, or none of them (false, and why).
    bool store(const std::vector<OutboxScan>& scans, std::string& problem);
    // Removes the stored scans numbered `first` to `last`.
    bool forget(std::uint64_t first, std::uint64_t last, std::string& problem);

private:
    explicit ScanOutbox(sqlite3* db) : db_(db) {}
    bool runSql(const char* sql, std::string& problem);

    std::mutex guard_;  // one call at a time on the connection
    sqlite3* db_;
};

// Whether the state directory exists (it is created if its parent does)
// and may be written; otherwise false and the system's reason.
bool prepareStateDirectory(const std::string& dir, std::string& problem);
