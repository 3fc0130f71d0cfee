#include "history/scan_history.h"
#include "history/sequence_floor.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

class ScanHistoryStore : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tirn-history-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -r " + dir_).c_str()), 0); }

    std::unique_ptr<ScanHistory> open(std::size_t depth) {
        std::string problem;
        auto history = ScanHistory::open(dir_, depth, problem);
        EXPECT_TRUE(problem.empty()) << problem;
        return history;
    }
    static NumberedScan publish(ScanHistory& history, const std::string& text) {
        const NumberedScan scan = history.number("{" + text + "}", text.size(), text, "/dev/ttyUSB0", {});
        history.keep(scan);
        return scan;
    }

    std::uint64_t reservation() {
        sqlite3* db = nullptr;
        sqlite3_open((dir_ + "/history.db").c_str(), &db);
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, "SELECT up_to FROM reservation;", -1, &query, nullptr);
        const std::uint64_t upTo = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
        sqlite3_finalize(query);
        sqlite3_close(db);
        return upTo;
    }
    void execute(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open((dir_ + "/history.db").c_str(), &db);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    void setReservation(std::uint64_t upTo) { execute("UPDATE reservation SET up_to = " + std::to_string(upTo) + ";"); }

    int storedScans() {
        sqlite3* db = nullptr;
        sqlite3_open((dir_ + "/history.db").c_str(), &db);
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM scans;", -1, &query, nullptr);
        const int count = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int(query, 0) : -1;
        sqlite3_finalize(query);
        sqlite3_close(db);
        return count;
    }
    template <typename Condition>
    static bool eventually(Condition condition) {
        for (int i = 0; i < 1000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool storedEventually(int count) {
        return eventually([&] { return storedScans() == count; });
    }
    // A line the history printed, while the test captures the standard output.
    static bool lineEventually(const std::string& line) {
        return eventually([&] {
            fflush(stdout);
            std::ifstream captured("/proc/self/fd/1");
            const std::string text((std::istreambuf_iterator<char>(captured)), std::istreambuf_iterator<char>());
            return text.find(line) != std::string::npos;
        });
    }

    std::string dir_;
};

// Numbers given and never stored (a power cut before the store's thread
// had them) are within the reservation on disk, and a restart goes on
// above it, even with a clock that is behind.
TEST_F(ScanHistoryStore, NumbersGoOnAboveTheReservation) {
    std::uint64_t given = 0;
    {
        auto history = open(10);
        for (int i = 0; i < 3; ++i) given = history->number("{}", 0, "", "/dev/ttyUSB0", {}).seq;
        EXPECT_GT(given, sequenceFloor() - 60000000ULL);
    }
    EXPECT_GE(reservation(), given);
    const std::uint64_t ahead = sequenceFloor() + 1000000000000ULL;  // some 12 days: the clock was set back since
    setReservation(ahead);
    auto history = open(10);
    EXPECT_GE(history->last(), ahead);
    EXPECT_GT(publish(*history, "A").seq, ahead);
    EXPECT_GT(reservation(), ahead + 1);
    EXPECT_TRUE(history->since(history->last() + 1, 10).ahead);
}

// The last `depth` scans survive a restart with their messages; what
// went past the depth counts as missed, the numbers a restart skipped do
// not. A lower depth at a start trims the store.
TEST_F(ScanHistoryStore, KeepsTheLastScansAcrossARestartAndCountsWhatWentPast) {
    std::vector<NumberedScan> published;
    {
        auto history = open(3);
        for (const char* text : {"A", "B", "C", "D", "E"}) published.push_back(publish(*history, text));
        EXPECT_EQ(history->kept(), 3u);
        EXPECT_EQ(history->oldest(), published[2].seq);
    }
    auto history = open(3);
    EXPECT_EQ(history->kept(), 3u);
    EXPECT_EQ(history->oldest(), published[2].seq);
    const ScansSince fromFirst = history->since(published[0].seq, 2);
    EXPECT_EQ(fromFirst.missed, 1u);
    ASSERT_EQ(fromFirst.scans.size(), 2u);
    EXPECT_TRUE(fromFirst.more);
    EXPECT_EQ(fromFirst.scans[0].seq, published[2].seq);
    EXPECT_EQ(*fromFirst.scans[1].plain, "{D}");
    EXPECT_EQ(*fromFirst.scans[1].numbered, *published[3].numbered);
    EXPECT_EQ(fromFirst.scans[1].scanner, "/dev/ttyUSB0");
    EXPECT_EQ(history->since(0, 10).missed, 2u);  // below the first number none was given

    const NumberedScan next = publish(*history, "F");
    const ScansSince fromLast = history->since(published[4].seq, 10);
    EXPECT_EQ(fromLast.missed, 0u);
    ASSERT_EQ(fromLast.scans.size(), 1u);
    EXPECT_EQ(fromLast.scans[0].seq, next.seq);
    EXPECT_EQ(history->since(0, 10).missed, 3u);

    history.reset();
    EXPECT_EQ(open(1)->kept(), 1u);
    EXPECT_EQ(open(3)->kept(), 1u);  // the lower depth left the store with one
}

// A run that did not end with all its scans stored (a kill leaves the mark
// of a run going on) leaves its numbers after the newest stored scan lost,
// up to where the next run begins: between kept scans too.
TEST_F(ScanHistoryStore, NumbersOfARunThatDidNotEndCleanlyAreLost) {
    const NumberedScan first = publish(*open(10), "A");
    EXPECT_FALSE(open(10)->since(first.seq, 10).lost);
    execute("UPDATE ending SET clean = 0;");
    auto history = open(10);
    publish(*history, "B");
    const ScansSince back = history->since(first.seq, 10);
    EXPECT_TRUE(back.lost);
    EXPECT_EQ(back.scans.size(), 1u);
}

// Scans faster than the store reserves: no number is given beyond the
// reservation on disk, and the newest are what a restart finds.
TEST_F(ScanHistoryStore, BurstsStayWithinTheReservation) {
    std::uint64_t last = 0;
    {
        auto history = open(10);
        for (int i = 0; i < 2500; ++i) {
            last = publish(*history, std::to_string(i)).seq;
            if (i % 50 == 0) {
                ASSERT_LE(last, reservation());
            }
        }
    }
    auto history = open(10);
    EXPECT_EQ(history->kept(), 10u);
    EXPECT_EQ(history->oldest(), last - 9);
    EXPECT_EQ(*history->since(last - 1, 10).scans.at(0).plain, "{2499}");
}

// A store that fails for a while (a full disk, a lock held) keeps what
// waited and stores it once it works again: a restart finds no hole that
// no client resuming would be told of.
TEST_F(ScanHistoryStore, ScansKeptWhileTheStoreFailsAreStoredOnceItWorks) {
    std::vector<NumberedScan> published;
    {
        auto history = open(10);
        published.push_back(publish(*history, "A"));
        ASSERT_TRUE(storedEventually(1));
        sqlite3* holder = nullptr;
        sqlite3_open((dir_ + "/history.db").c_str(), &holder);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
        fflush(stdout);
        testing::internal::CaptureStdout();
        published.push_back(publish(*history, "B"));
        const bool failed = lineEventually("scan history: cannot store scans");
        const std::string said = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(failed) << said;
        sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        ASSERT_TRUE(storedEventually(2));
    }
    auto history = open(10);
    const ScansSince all = history->since(published[0].seq - 1, 10);
    EXPECT_EQ(all.missed, 0u);
    ASSERT_EQ(all.scans.size(), 2u);
    EXPECT_EQ(*all.scans[1].plain, "{B}");
}

// A damaged store is moved aside and a new one begun; numbers still go on.
TEST_F(ScanHistoryStore, DamagedStoreIsMovedAside) {
    std::uint64_t given = 0;
    {
        auto history = open(10);
        given = publish(*history, "A").seq;
    }
    std::ofstream(dir_ + "/history.db", std::ios::trunc) << std::string(8192, 'x');
    auto history = open(10);
    EXPECT_EQ(std::system(("ls " + dir_ + "/history.db.damaged-* >/dev/null").c_str()), 0);
    EXPECT_EQ(history->kept(), 0u);
    EXPECT_GT(publish(*history, "B").seq, given);
}

// No store: numbers from the clock, nothing kept with a depth of 0.
TEST(ScanHistory, WithoutAStoreOrADepth) {
    std::string problem;
    const std::uint64_t floor = sequenceFloor();
    auto history = ScanHistory::open("", 0, problem);
    const NumberedScan scan = history->number("{}", 0, "", "", {});
    history->keep(scan);
    EXPECT_GT(scan.seq, floor);
    EXPECT_EQ(history->kept(), 0u);
    EXPECT_EQ(history->oldest(), 0u);
    EXPECT_EQ(history->since(scan.seq - 1, 10).missed, 1u);
}

}  // namespace
