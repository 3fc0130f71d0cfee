#include "fleet/scan_outbox.h"

#include "console/console.h"
#include "console/console_lines.h"
#include "history/sqlite_file.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* const kSetUp =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS scans(seq INTEGER PRIMARY KEY, stored_at_ms INTEGER NOT NULL,"
    " message BLOB NOT NULL, scanner TEXT NOT NULL DEFAULT '');";

// A store from before scans carried their scanner has no column for it;
// adding it again fails harmlessly.
const char* const kAddScanner = "ALTER TABLE scans ADD COLUMN scanner TEXT NOT NULL DEFAULT '';";

}  // namespace

std::unique_ptr<ScanOutbox> ScanOutbox::open(const std::string& dir, std::string& problem) {
    const std::string path = dir + "/" + kFileName;
    sqlite3* db = nullptr;
    const int code = openSqliteFile(path, kSetUp, kAddScanner, db, problem);
    if (sqliteDamaged(code)) {
        const std::string aside = moveSqliteFileAside(path);
        consoleOut(LineKind::Warning,
                   "MQTT outbox: the store %s is damaged (%s); moved it aside to %s and began a new one\n",
                   path.c_str(), problem.c_str(), aside.c_str());
        flushConsole();
        if (openSqliteFile(path, kSetUp, kAddScanner, db, problem) != SQLITE_OK) return nullptr;
    } else if (code != SQLITE_OK) {
        return nullptr;
    }
    return std::unique_ptr<ScanOutbox>(new ScanOutbox(db));
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
    SqliteStatement query(db_, "SELECT seq, stored_at_ms, message, scanner FROM scans ORDER BY seq;");
    int step = query.handle != nullptr ? sqlite3_step(query.handle) : sqlite3_errcode(db_);
    for (; step == SQLITE_ROW; step = sqlite3_step(query.handle)) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.handle, 2));
        const auto* scanner = reinterpret_cast<const char*>(sqlite3_column_text(query.handle, 3));
        scans.push_back({static_cast<std::uint64_t>(sqlite3_column_int64(query.handle, 0)),
                         sqlite3_column_int64(query.handle, 1),
                         std::string(bytes != nullptr ? bytes : "",
                                     static_cast<std::size_t>(sqlite3_column_bytes(query.handle, 2))),
                         scanner != nullptr ? scanner : ""});
    }
    if (step != SQLITE_DONE) problem = sqlite3_errmsg(db_);
    return scans;
}

bool ScanOutbox::store(const std::vector<OutboxScan>& scans, std::string& problem) {
    if (scans.empty()) return true;
    std::lock_guard<std::mutex> lock(guard_);
    if (!runSql("BEGIN IMMEDIATE;", problem)) return false;
    SqliteStatement insert(db_, "INSERT INTO scans(seq, stored_at_ms, message, scanner) VALUES (?, ?, ?, ?);");
    bool stored = insert.handle != nullptr;
    for (std::size_t i = 0; stored && i < scans.size(); ++i) {
        sqlite3_bind_int64(insert.handle, 1, static_cast<sqlite3_int64>(scans[i].seq));
        sqlite3_bind_int64(insert.handle, 2, scans[i].storedAtMs);
        sqlite3_bind_blob(insert.handle, 3, scans[i].message.data(), static_cast<int>(scans[i].message.size()),
                          SQLITE_STATIC);
        sqlite3_bind_text(insert.handle, 4, scans[i].scanner.data(), static_cast<int>(scans[i].scanner.size()),
                          SQLITE_STATIC);
        stored = sqlite3_step(insert.handle) == SQLITE_DONE;
        sqlite3_reset(insert.handle);
    }
    if (stored && runSql("COMMIT;", problem)) return true;
    if (problem.empty()) problem = sqlite3_errmsg(db_);
    std::string ignored;
    runSql("ROLLBACK;", ignored);
    releaseSqliteJournal(db_);
    return false;
}

bool ScanOutbox::forget(std::uint64_t first, std::uint64_t last, std::string& problem) {
    std::lock_guard<std::mutex> lock(guard_);
    SqliteStatement remove(db_, "DELETE FROM scans WHERE seq BETWEEN ? AND ?;");
    if (remove.handle == nullptr) {
        problem = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(remove.handle, 1, static_cast<sqlite3_int64>(first));
    sqlite3_bind_int64(remove.handle, 2, static_cast<sqlite3_int64>(last));
    if (sqlite3_step(remove.handle) == SQLITE_DONE) return true;
    problem = sqlite3_errmsg(db_);
    releaseSqliteJournal(db_);
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
