#include "fleet/scan_outbox.h"

#include "console/console.h"
#include "console/console_lines.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* const kSetUp =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS scans(seq INTEGER PRIMARY KEY, stored_at_ms INTEGER NOT NULL,"
    " message BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sequence(last INTEGER NOT NULL);"
    "INSERT INTO sequence SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM sequence);";

struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &handle, nullptr); }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

bool damaged(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

// SQLITE_CORRUPT when the store's own check finds damage.
int quickCheck(sqlite3* db) {
    Statement check(db, "PRAGMA quick_check;");
    if (check.handle == nullptr) return sqlite3_errcode(db);
    const int step = sqlite3_step(check.handle);
    if (step != SQLITE_ROW) return sqlite3_errcode(db);
    return strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check.handle, 0)), "ok") == 0 ? SQLITE_OK
                                                                                                  : SQLITE_CORRUPT;
}

// Opens the file and readies its tables; the SQLite result code of the
// first step that failed, and why.
int openStore(const std::string& path, sqlite3*& db, std::string& problem) {
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code == SQLITE_OK) code = quickCheck(db);
    if (code == SQLITE_OK) code = sqlite3_exec(db, kSetUp, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        problem = code == SQLITE_CORRUPT ? "its own check failed"
                  : db != nullptr        ? sqlite3_errmsg(db)
                                         : sqlite3_errstr(code);
        sqlite3_close(db);
        db = nullptr;
    }
    return code;
}

// The store and its journal go beside it under one dated name, kept for
// whoever wants to look into them.
std::string moveAside(const std::string& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", std::gmtime(&now));
    const std::string aside = path + ".damaged-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"})
        std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    return aside;
}

std::int64_t integer(sqlite3* db, const char* sql) {
    Statement query(db, sql);
    return query.handle != nullptr && sqlite3_step(query.handle) == SQLITE_ROW ? sqlite3_column_int64(query.handle, 0)
                                                                               : 0;
}

std::uint64_t lastNumber(sqlite3* db) {
    return static_cast<std::uint64_t>(
        std::max<std::int64_t>({0, integer(db, "SELECT last FROM sequence;"), integer(db, "SELECT max(seq) FROM scans;")}));
}

// Whatever of a damaged store's last number can still be read; 0 if none.
std::uint64_t lastNumberOfDamaged(const std::string& path) {
    sqlite3* db = nullptr;
    std::uint64_t last = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) last = lastNumber(db);
    sqlite3_close(db);
    return last;
}

// A scan's number fits SQLite's signed integers.
sqlite3_int64 asSqlite(std::uint64_t seq) { return static_cast<sqlite3_int64>(seq); }

}  // namespace

std::unique_ptr<ScanOutbox> ScanOutbox::open(const std::string& dir, std::string& problem) {
    const std::string path = dir + "/" + kFileName;
    std::uint64_t numberFrom = 0;
    sqlite3* db = nullptr;
    const int code = openStore(path, db, problem);
    if (damaged(code)) {
        numberFrom = std::max(lastNumberOfDamaged(path), sequenceFloor());
        const std::string aside = moveAside(path);
        consoleOut(LineKind::Warning,
                   "MQTT outbox: the store %s is damaged (%s); moved it aside to %s and began a new one\n",
                   path.c_str(), problem.c_str(), aside.c_str());
        flushConsole();
        if (openStore(path, db, problem) != SQLITE_OK) return nullptr;
    } else if (code != SQLITE_OK) {
        return nullptr;
    }
    std::unique_ptr<ScanOutbox> store(new ScanOutbox(db));
    // A store that has numbered nothing yet is new, or a lost one begun
    // again (deleted, say).
    if (lastNumber(db) == 0) numberFrom = std::max(numberFrom, sequenceFloor());
    if (numberFrom > lastNumber(db) && !store->raiseSequence(numberFrom, problem)) return nullptr;
    store->lastSeq_ = lastNumber(db);
    return store;
}

std::uint64_t ScanOutbox::sequenceFloor() {
    constexpr std::int64_t k2020 = 1577836800;  // 2020-01-01T00:00:00Z
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count() - k2020 * 1000000;
    return micros > 0 ? static_cast<std::uint64_t>(micros) : 0;
}

bool ScanOutbox::raiseSequence(std::uint64_t last, std::string& problem) {
    Statement number(db_, "UPDATE sequence SET last = max(last, ?);");
    if (number.handle != nullptr) sqlite3_bind_int64(number.handle, 1, asSqlite(last));
    if (number.handle != nullptr && sqlite3_step(number.handle) == SQLITE_DONE) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}

bool ScanOutbox::renumberFrom(std::uint64_t first, std::string& problem) {
    std::lock_guard<std::mutex> lock(guard_);
    const std::uint64_t lowest = static_cast<std::uint64_t>(integer(db_, "SELECT min(seq) FROM scans;"));
    if (lowest == 0 || lowest >= first) return true;
    // Through negative numbers: SQLite checks each row's new number as it
    // goes, and an old one above `first` would meet a new one.
    if (!runSql("BEGIN IMMEDIATE;", problem)) return false;
    bool moved = runSql("UPDATE scans SET seq = -seq;", problem);
    Statement shift(db_, "UPDATE scans SET seq = ? - seq;");
    moved = moved && shift.handle != nullptr;
    if (moved) {
        sqlite3_bind_int64(shift.handle, 1, asSqlite(first - lowest));
        moved = sqlite3_step(shift.handle) == SQLITE_DONE;
    }
    moved = moved && raiseSequence(static_cast<std::uint64_t>(integer(db_, "SELECT max(seq) FROM scans;")), problem);
    if (moved && runSql("COMMIT;", problem)) {
        lastSeq_ = lastNumber(db_);  // numbering goes on above them, even if they cannot be read
        return true;
    }
    if (problem.empty()) problem = sqlite3_errmsg(db_);
    std::string ignored;
    runSql("ROLLBACK;", ignored);
    return false;
}

ScanOutbox::~ScanOutbox() { sqlite3_close(db_); }

bool ScanOutbox::runSql(const char* sql, std::string& problem) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}

std::vector<OutboxScan> ScanOutbox::load(std::string& problem) {
    std::lock_guard<std::mutex> lock(guard_);
    std::vector<OutboxScan> scans;
    Statement query(db_, "SELECT seq, stored_at_ms, message FROM scans ORDER BY seq;");
    int step = query.handle != nullptr ? sqlite3_step(query.handle) : sqlite3_errcode(db_);
    for (; step == SQLITE_ROW; step = sqlite3_step(query.handle)) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.handle, 2));
        scans.push_back({static_cast<std::uint64_t>(sqlite3_column_int64(query.handle, 0)),
                         sqlite3_column_int64(query.handle, 1),
                         std::string(bytes != nullptr ? bytes : "",
                                     static_cast<std::size_t>(sqlite3_column_bytes(query.handle, 2)))});
    }
    if (step != SQLITE_DONE) problem = sqlite3_errmsg(db_);
    return scans;
}

bool ScanOutbox::store(const std::vector<OutboxScan>& scans, std::string& problem) {
    if (scans.empty()) return true;
    std::lock_guard<std::mutex> lock(guard_);
    if (!runSql("BEGIN IMMEDIATE;", problem)) return false;
    Statement insert(db_, "INSERT INTO scans(seq, stored_at_ms, message) VALUES (?, ?, ?);");
    bool stored = insert.handle != nullptr;
    for (std::size_t i = 0; stored && i < scans.size(); ++i) {
        sqlite3_bind_int64(insert.handle, 1, static_cast<sqlite3_int64>(scans[i].seq));
        sqlite3_bind_int64(insert.handle, 2, scans[i].storedAtMs);
        sqlite3_bind_blob(insert.handle, 3, scans[i].message.data(), static_cast<int>(scans[i].message.size()),
                          SQLITE_STATIC);
        stored = sqlite3_step(insert.handle) == SQLITE_DONE;
        sqlite3_reset(insert.handle);
    }
    Statement number(db_, "UPDATE sequence SET last = max(last, ?);");
    if (stored && number.handle != nullptr) {
        sqlite3_bind_int64(number.handle, 1, static_cast<sqlite3_int64>(scans.back().seq));
        stored = sqlite3_step(number.handle) == SQLITE_DONE;
    }
    if (stored && runSql("COMMIT;", problem)) return true;
    if (problem.empty()) problem = sqlite3_errmsg(db_);
    std::string ignored;
    runSql("ROLLBACK;", ignored);
    return false;
}

bool ScanOutbox::forget(std::uint64_t first, std::uint64_t last, std::string& problem) {
    std::lock_guard<std::mutex> lock(guard_);
    Statement remove(db_, "DELETE FROM scans WHERE seq BETWEEN ? AND ?;");
    if (remove.handle == nullptr) {
        problem = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(remove.handle, 1, static_cast<sqlite3_int64>(first));
    sqlite3_bind_int64(remove.handle, 2, static_cast<sqlite3_int64>(last));
    if (sqlite3_step(remove.handle) == SQLITE_DONE) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}

bool prepareStateDirectory(const std::string& dir, std::string& problem) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = strerror(errno);
        return false;
    }
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        problem = strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        problem = "not a directory";
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        problem = strerror(errno);
        return false;
    }
    return true;
}
