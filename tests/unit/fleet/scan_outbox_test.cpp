#include "fleet/scan_outbox.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>

namespace {

// A store from before scans carried their scanner keeps its scans, which
// go out with no scanner, and takes new ones with theirs, numbered as given.
TEST(ScanOutbox, StoreFromBeforeScannersKeepsItsScans) {
    char pattern[] = "/tmp/tirn-outbox-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/outbox.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE scans(seq INTEGER PRIMARY KEY, stored_at_ms INTEGER NOT NULL,"
                           " message BLOB NOT NULL);"
                           "CREATE TABLE sequence(last INTEGER NOT NULL);"
                           "INSERT INTO scans VALUES (7, 1000, 'old');"
                           "INSERT INTO sequence VALUES (7);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string problem;
    const auto outbox = ScanOutbox::open(dir, problem);
    ASSERT_TRUE(outbox) << problem;
    ASSERT_TRUE(outbox->store({{900, 2000, "new", "/dev/ttyACM0"}}, problem)) << problem;
    const auto scans = outbox->load(problem);
    ASSERT_EQ(scans.size(), 2u) << problem;
    EXPECT_EQ(scans[0].seq, 7u);
    EXPECT_EQ(scans[0].message, "old");
    EXPECT_EQ(scans[0].scanner, "");
    EXPECT_EQ(scans[1].seq, 900u);
    EXPECT_EQ(scans[1].storedAtMs, 2000);
    EXPECT_EQ(scans[1].scanner, "/dev/ttyACM0");
    EXPECT_EQ(std::system(("rm -r " + dir).c_str()), 0);
}

}  // namespace
