#include "scan_outbox.h"

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

}  // namespace
