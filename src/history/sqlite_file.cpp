#include "history/sqlite_file.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <ctime>

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &handle, nullptr); }

SqliteStatement::~SqliteStatement() { sqlite3_finalize(handle); }

bool sqliteDamaged(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

namespace {

// SQLITE_CORRUPT when the check finds damage.
int quickCheck(sqlite3* db) {
    SqliteStatement check(db, "PRAGMA quick_check;");
    if (check.handle == nullptr) return sqlite3_errcode(db);
    if (sqlite3_step(check.handle) != SQLITE_ROW) return sqlite3_errcode(db);
    return strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check.handle, 0)), "ok") == 0 ? SQLITE_OK
                                                                                                  : SQLITE_CORRUPT;
}

// The write-ahead log is copied into the file every kCheckpointPages pages
// (SQLite's default of 1000 keeps some 4 MB of log on disk for good), and a
// log that one large write made longer is cut back to kJournalLimitBytes
// once it has been copied. A log within the limit keeps its length: the
// next writes go over its copied pages without asking the file system for
// more.
constexpr int kCheckpointPages = 64;
constexpr long kJournalLimitBytes = 512 * 1024;

int boundJournal(sqlite3* db) {
    const std::string pragmas = "PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointPages) +
                                ";PRAGMA journal_size_limit=" + std::to_string(kJournalLimitBytes) + ";";
    return sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr);
}

}  // namespace

int openSqliteFile(const std::string& path, const char* setUp, const char* upgrade, sqlite3*& db,
                   std::string& problem) {
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code == SQLITE_OK) code = quickCheck(db);
    if (code == SQLITE_OK) code = sqlite3_exec(db, setUp, nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) code = boundJournal(db);
    if (code == SQLITE_OK && upgrade != nullptr) sqlite3_exec(db, upgrade, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        problem = code == SQLITE_CORRUPT ? "its own check failed"
                  : db != nullptr        ? sqlite3_errmsg(db)
                                         : sqlite3_errstr(code);
        sqlite3_close(db);
        db = nullptr;
    }
    return code;
}

std::string moveSqliteFileAside(const std::string& path) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    const std::string aside = path + ".damaged-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"}) std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    return aside;
}

void releaseSqliteJournal(sqlite3* db) {
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}
