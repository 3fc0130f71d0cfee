#include "fleet/scan_outbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// A store whose numbers ran ahead of the clock (a clock set back since):
// once damaged, the new store numbers on from what its sequence row still
// says, not from the clock.
TEST(ScanOutbox, DamagedStoreNumbersOnFromItsLastNumber) {
    char pattern[] = "/tmp/tirn-outbox-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::uint64_t ahead = ScanOutbox::sequenceFloor() + 1000000000000ULL;  // some 12 days
    std::string problem;
    {
        const auto outbox = ScanOutbox::open(dir, problem);
        ASSERT_TRUE(outbox) << problem;
        ASSERT_TRUE(outbox->store({{ahead, 0, "delivered", true}}, problem)) << problem;
        ASSERT_TRUE(outbox->forget(0, ahead, problem)) << problem;
    }
    {
        std::fstream store(dir + "/outbox.db", std::ios::in | std::ios::out | std::ios::binary);
        store.seekp(4096);  // the scans' page: the sequence row after it stays whole
        store << std::string(4096, 'x');
    }
    const auto outbox = ScanOutbox::open(dir, problem);
    ASSERT_TRUE(outbox) << problem;
    EXPECT_GE(outbox->lastSeq(), ahead);
    EXPECT_EQ(std::system(("rm -r " + dir).c_str()), 0);
}

// Held scans moved up to follow those numbered while the store would not
// open: some may lie above the first new number, and keep their order.
TEST(ScanOutbox, RenumbersHeldScansPastTheirOwnNumbers) {
    char pattern[] = "/tmp/tirn-outbox-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::string problem;
    const auto outbox = ScanOutbox::open(dir, problem);
    ASSERT_TRUE(outbox) << problem;
    const std::uint64_t low = outbox->lastSeq() + 1;
    ASSERT_TRUE(outbox->store({{low, 0, "a", true}, {low + 1, 0, "b", true}, {low + 100, 0, "c", true}}, problem))
        << problem;
    ASSERT_TRUE(outbox->renumberFrom(low + 1, problem)) << problem;
    const auto scans = outbox->load(problem);
    ASSERT_EQ(scans.size(), 3u);
    EXPECT_EQ(scans[0].seq, low + 1);
    EXPECT_EQ(scans[1].seq, low + 2);
    EXPECT_EQ(scans[2].seq, low + 101);
    EXPECT_EQ(scans[2].message, "c");
    EXPECT_EQ(outbox->lastSeq(), low + 101);
    EXPECT_EQ(std::system(("rm -r " + dir).c_str()), 0);
}

}  // namespace
