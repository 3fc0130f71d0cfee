#include "history_store.h"

#include "console/console.h"
#include "console/console_lines.h"
#include "history/sequence_floor.h"
#include "history/sqlite_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// FULL: a reservation on disk is what keeps a number from being given
// twice after a power cut.
const char* const kSetUp =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE IF NOT EXISTS scans(seq INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, scanner TEXT NOT NULL,"
    " plain BLOB NOT NULL, numbered BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reservation(up_to INTEGER NOT NULL);"
    "INSERT INTO reservation SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM reservation);"
    "CREATE TABLE IF NOT EXISTS skips(first INTEGER PRIMARY KEY, after INTEGER NOT NULL,"
    " lost INTEGER NOT NULL DEFAULT 0);"
    // A store from before this mark ended as it always did: cleanly.
    "CREATE TABLE IF NOT EXISTS ending(clean INTEGER NOT NULL, last INTEGER NOT NULL);"
    "INSERT INTO ending SELECT 1, 0 WHERE NOT EXISTS (SELECT 1 FROM ending);";

// A store from before lost numbers were told apart.
const char* const kUpgrade = "ALTER TABLE skips ADD COLUMN lost INTEGER NOT NULL DEFAULT 0;";

// As many as the history remembers.
constexpr int kKeptSkips = 1000;

std::uint64_t integer(sqlite3* db, const char* sql) {
    SqliteStatement query(db, sql);
    const bool row = query.handle != nullptr && sqlite3_step(query.handle) == SQLITE_ROW;
    return row ? static_cast<std::uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(query.handle, 0))) : 0;
}

std::uint64_t lastNumber(sqlite3* db) {
    return std::max({integer(db, "SELECT up_to FROM reservation;"), integer(db, "SELECT max(seq) FROM scans;"),
                     integer(db, "SELECT last FROM ending;")});
}

// Whatever of a damaged store's last number can still be read; 0 if none.
std::uint64_t lastNumberOfDamaged(const std::string& path) {
    sqlite3* db = nullptr;
    std::uint64_t last = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) last = lastNumber(db);
    sqlite3_close(db);
    return last;
}

std::string text(sqlite3_stmt* row, int column) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, column));
    return std::string(bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

sqlite3_int64 milliseconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::open(const std::string& dir, std::string& problem) {
    const std::string path = dir + "/" + kFileName;
    std::uint64_t beginAbove = 0;
    sqlite3* db = nullptr;
    const int code = openSqliteFile(path, kSetUp, kUpgrade, db, problem);
    if (sqliteDamaged(code)) {
        beginAbove = lastNumberOfDamaged(path);
        const std::string aside = moveSqliteFileAside(path);
        consoleOut(LineKind::Warning, "scan history: the store %s is damaged (%s); moved it aside to %s and began a new one\n",
                   path.c_str(), problem.c_str(), aside.c_str());
        flushConsole();
        problem.clear();
        if (openSqliteFile(path, kSetUp, kUpgrade, db, problem) != SQLITE_OK) return nullptr;
    } else if (code != SQLITE_OK) {
        return nullptr;
    }
    std::unique_ptr<HistoryStore> store(new HistoryStore(db, dir));
    store->reserved_ = lastNumber(db);
    // A store that has reserved nothing yet is new, or a lost one begun
    // again: numbers go on above the clock's floor.
    store->continued_ = store->reserved_ != 0;
    const std::uint64_t endedAt = integer(db, "SELECT last FROM ending;");
    const bool endedFile = access((dir + "/" + kEndedName).c_str(), F_OK) == 0;
    store->ending_ = {integer(db, "SELECT clean FROM ending;") != 0 && (endedAt == 0 || endedFile), endedAt};
    if (!store->continued_ && !store->reserve(std::max(beginAbove, sequenceFloor()), problem)) return nullptr;
    return store;
}

HistoryStore::~HistoryStore() { sqlite3_close(db_); }

bool HistoryStore::runSql(const char* sql, std::string& problem) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}

bool HistoryStore::reserve(std::uint64_t upTo, std::string& problem) {
    if (upTo <= reserved_) return true;
    SqliteStatement update(db_, "UPDATE reservation SET up_to = max(up_to, ?);");
    if (update.handle != nullptr) sqlite3_bind_int64(update.handle, 1, static_cast<sqlite3_int64>(upTo));
    if (update.handle == nullptr || sqlite3_step(update.handle) != SQLITE_DONE) {
        problem = sqlite3_errmsg(db_);
        return false;
    }
    reserved_ = upTo;
    return true;
}

std::vector<NumberedScan> HistoryStore::load(std::size_t depth, std::string& problem) {
    std::vector<NumberedScan> scans;
    SqliteStatement query(db_, "SELECT seq, time_ms, scanner, plain, numbered FROM"
                         " (SELECT * FROM scans ORDER BY seq DESC LIMIT ?) ORDER BY seq;");
    if (query.handle == nullptr) {
        problem = sqlite3_errmsg(db_);
        return scans;
    }
    sqlite3_bind_int64(query.handle, 1, static_cast<sqlite3_int64>(depth));
    int step = sqlite3_step(query.handle);
    for (; step == SQLITE_ROW; step = sqlite3_step(query.handle)) {
        NumberedScan scan;
        scan.seq = static_cast<std::uint64_t>(sqlite3_column_int64(query.handle, 0));
        scan.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(query.handle, 1)));
        scan.scanner = text(query.handle, 2);
        scan.plain = std::make_shared<const std::string>(text(query.handle, 3));
        scan.numbered = std::make_shared<const std::string>(text(query.handle, 4));
        scans.push_back(std::move(scan));
    }
    if (step != SQLITE_DONE) problem = sqlite3_errmsg(db_);
    return scans;
}

std::vector<HistoryStore::Gap> HistoryStore::gaps(std::string& problem) {
    std::vector<Gap> found;
    SqliteStatement query(db_, "SELECT after, first, lost FROM skips ORDER BY first;");
    int step = query.handle != nullptr ? sqlite3_step(query.handle) : sqlite3_errcode(db_);
    for (; step == SQLITE_ROW; step = sqlite3_step(query.handle))
        found.push_back({static_cast<std::uint64_t>(sqlite3_column_int64(query.handle, 0)),
                         static_cast<std::uint64_t>(sqlite3_column_int64(query.handle, 1)),
                         sqlite3_column_int(query.handle, 2) != 0});
    if (step != SQLITE_DONE) problem = sqlite3_errmsg(db_);
    return found;
}

bool HistoryStore::addGap(const Gap& gap, std::string& problem) {
    SqliteStatement insert(db_, "INSERT OR REPLACE INTO skips(first, after, lost) VALUES (?, ?, ?);");
    SqliteStatement trim(db_, "DELETE FROM skips WHERE first NOT IN (SELECT first FROM skips ORDER BY first DESC LIMIT ?);");
    if (insert.handle == nullptr || trim.handle == nullptr) {
        problem = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(insert.handle, 1, static_cast<sqlite3_int64>(gap.first));
    sqlite3_bind_int64(insert.handle, 2, static_cast<sqlite3_int64>(gap.after));
    sqlite3_bind_int(insert.handle, 3, gap.lost ? 1 : 0);
    sqlite3_bind_int(trim.handle, 1, kKeptSkips);
    if (sqlite3_step(insert.handle) == SQLITE_DONE && sqlite3_step(trim.handle) == SQLITE_DONE) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}

bool HistoryStore::write(const std::deque<NumberedScan>& scans, std::size_t depth, std::string& problem) {
    if (!runSql("BEGIN IMMEDIATE;", problem)) return false;
    SqliteStatement insert(db_, "INSERT OR REPLACE INTO scans(seq, time_ms, scanner, plain, numbered) VALUES (?, ?, ?, ?, ?);");
    SqliteStatement trim(db_, "DELETE FROM scans WHERE seq <= (SELECT seq FROM scans ORDER BY seq DESC LIMIT 1 OFFSET ?);");
    bool stored = insert.handle != nullptr && trim.handle != nullptr;
    for (std::size_t i = 0; stored && i < scans.size(); ++i) {
        const NumberedScan& scan = scans[i];
        sqlite3_bind_int64(insert.handle, 1, static_cast<sqlite3_int64>(scan.seq));
        sqlite3_bind_int64(insert.handle, 2, milliseconds(scan.time));
        sqlite3_bind_text(insert.handle, 3, scan.scanner.data(), static_cast<int>(scan.scanner.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert.handle, 4, scan.plain->data(), static_cast<int>(scan.plain->size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert.handle, 5, scan.numbered->data(), static_cast<int>(scan.numbered->size()),
                          SQLITE_STATIC);
        stored = sqlite3_step(insert.handle) == SQLITE_DONE;
        sqlite3_reset(insert.handle);
    }
    if (stored) {
        sqlite3_bind_int64(trim.handle, 1, static_cast<sqlite3_int64>(depth));
        stored = sqlite3_step(trim.handle) == SQLITE_DONE;
    }
    // Whatever marked the run as going on at its start failed (a full
    // disk): now the store holds scans of a run that has not ended.
    if (stored) stored = setEnding(false, 0, problem);
    if (stored && runSql("COMMIT;", problem)) return true;
    if (problem.empty()) problem = sqlite3_errmsg(db_);
    std::string ignored;
    runSql("ROLLBACK;", ignored);
    releaseSqliteJournal(db_);
    return false;
}

std::uint64_t HistoryStore::newestKept() { return integer(db_, "SELECT max(seq) FROM scans;"); }

bool HistoryStore::forgetEnding(const std::string& dir, std::string& problem) {
    if (unlink((dir + "/" + kEndedName).c_str()) != 0 && errno != ENOENT) {
        problem = std::string("cannot remove ") + kEndedName + ": " + strerror(errno);
        return false;
    }
    // So that a power cut does not bring it back.
    const int directory = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

bool HistoryStore::markRunning(std::string& problem) {
    return forgetEnding(problem) && setEnding(false, 0, problem);
}

bool HistoryStore::markEnded(std::uint64_t last, std::string& problem) {
    if (!setEnding(true, last, problem)) return false;
    const int file = ::open((dir_ + "/" + kEndedName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0) {
        problem = std::string("cannot create ") + kEndedName + ": " + strerror(errno);
        return false;
    }
    close(file);
    return true;
}

bool HistoryStore::setEnding(bool clean, std::uint64_t last, std::string& problem) {
    SqliteStatement update(db_, "UPDATE ending SET clean = ?, last = ?;");
    if (update.handle != nullptr) {
        sqlite3_bind_int(update.handle, 1, clean ? 1 : 0);
        sqlite3_bind_int64(update.handle, 2, static_cast<sqlite3_int64>(last));
    }
    if (update.handle != nullptr && sqlite3_step(update.handle) == SQLITE_DONE) return true;
    problem = sqlite3_errmsg(db_);
    return false;
}
