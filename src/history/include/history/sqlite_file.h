// An SQLite file of the state directory, as the history and the MQTT
// outbox keep theirs: opened with a check of its own, and moved aside when
// that check finds it damaged, so that a box goes on with a fresh one and
// the damaged one stays for whoever wants to look into it.
#pragma once

#include <string>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement, finalized when it goes; a null handle when the
// SQL could not be prepared.
struct SqliteStatement {
    sqlite3_stmt* handle = nullptr;
    SqliteStatement(sqlite3* db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
};

// Whether a result code says the file is damaged rather than unreachable.
bool sqliteDamaged(int code);

// Opens PATH for reading and writing (creating it), runs SQLite's own
// quick check and then `setUp`, and runs `upgrade` whose failure does not
// count (a column added to an older file, say), and keeps the write-ahead
// log short (a few hundred kB). The result code of the first
// step that failed, with why in `problem` and `db` null; SQLITE_CORRUPT when
// the check found damage.
int openSqliteFile(const std::string& path, const char* setUp, const char* upgrade, sqlite3*& db,
                   std::string& problem);

// After a write that failed (a full disk, say): copies the whole log into
// the file and cuts the log to nothing, giving back what the failed write
// took, so that the file can grow into it. Does nothing when that cannot
// be done either. Called by the store's own thread, never by a client's.
void releaseSqliteJournal(sqlite3* db);

// Moves the file and its journal beside it under one dated name, which it
// returns.
std::string moveSqliteFileAside(const std::string& path);
