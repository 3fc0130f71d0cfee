#include "history/scan_history.h"

#include "history/sequence_floor.h"
#include "recorded_history.h"

std::unique_ptr<ScanHistory> ScanHistory::open(const std::string& stateDir, std::size_t depth, std::string& problem) {
    (void)stateDir;
    problem.clear();
    const std::uint64_t first = sequenceFloor() + 1;
    return std::make_unique<RecordedHistory>(depth, first, 0);
}
