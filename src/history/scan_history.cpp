#include "history/scan_history.h"

#include "history/sequence_floor.h"
#include "history_store.h"
#include "recorded_history.h"

std::unique_ptr<ScanHistory> ScanHistory::open(const std::string& stateDir, std::size_t depth, std::string& problem) {
    problem.clear();
    if (!stateDir.empty()) {
        std::unique_ptr<HistoryStore> store = HistoryStore::open(stateDir, problem);
        if (store) return std::make_unique<RecordedHistory>(depth, std::move(store));
        // The numbers of this run are unknown to the store: its next start
        // must not take the last one for a clean end.
        std::string ignored;
        HistoryStore::forgetEnding(stateDir, ignored);
    }
    return std::make_unique<RecordedHistory>(depth, sequenceFloor() + 1);
}
