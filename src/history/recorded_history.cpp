#include "recorded_history.h"

#include "console/console.h"
#include "console/console_lines.h"
#include "history/sequence_floor.h"
#include "text/scan_message.h"

#include <algorithm>

// Whatever numbers came before `first` are unknown to this run: a client
// coming back with one is told it may have missed scans.
RecordedHistory::RecordedHistory(std::size_t depth, std::uint64_t first) : kept_(depth), next_(first) {
    kept_.lost(0, first);
}

RecordedHistory::RecordedHistory(std::size_t depth, std::unique_ptr<HistoryStore> store)
    : kept_(depth), store_(std::move(store)) {
    resume();
    storer_ = std::thread([this] { keepStoring(); });
}

// What the store kept is kept again, and numbers go on above its
// reservation and the clock's floor, whichever is higher: the reservation
// covers a clock that is behind (a box without a battery-backed clock), the
// floor a run that had no store. The numbers between the last one the store
// knows was given and there went to no scan after a clean end; otherwise
// (a kill, a power cut, a full disk at the stop) some may have gone to
// scans it never stored, and so may all before a store begun afresh.
void RecordedHistory::resume() {
    std::string problem;
    // First of all: whatever else fails, this run has not ended cleanly.
    store_->forgetEnding(problem);
    for (const HistoryStore::Gap& gap : store_->gaps(problem)) {
        if (gap.lost) kept_.lost(gap.after, gap.first);
        else kept_.skipped(gap.after, gap.first);
    }
    for (const NumberedScan& scan : store_->load(kept_.depth(), problem)) kept_.add(scan);
    next_ = std::max(store_->reserved(), sequenceFloor()) + 1;
    const HistoryStore::Gap gap = startGap();
    if (gap.lost) kept_.lost(gap.after, gap.first);
    else kept_.skipped(gap.after, gap.first);
    if (problem.empty()) store_->addGap(gap, problem);
    if (problem.empty()) store_->markRunning(problem);
    if (problem.empty()) store_->reserve(next_ + kBlock - 1, problem);
    if (problem.empty()) store_->write({}, kept_.depth(), problem);  // a depth lowered since
    reserved_ = store_->reserved();
    if (!problem.empty()) {
        // Nothing on disk holds this run's numbers up: a later start whose
        // clock is behind may give them again.
        failing_ = true;
        consoleOut(LineKind::Warning,
                   "scan history: cannot read or reserve numbers in the store (%s): scan numbers go on from the "
                   "clock (and go back if it does) and scans are kept in memory only meanwhile\n",
                   problem.c_str());
    }
}

// The numbers between the last run's and this one's.
HistoryStore::Gap RecordedHistory::startGap() const {
    if (!store_->continued()) return {0, next_, true};
    const std::uint64_t newest = store_->newestKept();
    const HistoryStore::Ending ending = store_->ending();
    if (ending.clean) return {std::max(newest, ending.last), next_, false};
    // Without a scan stored since, the last run gave none below its first.
    const std::uint64_t lastStart = kept_.latestStart();
    return {std::max(newest, lastStart > 0 ? lastStart - 1 : 0), next_, true};
}

// Stores what is still waiting, and marks the end clean only when all of
// it is stored: otherwise the next start tells of what was lost.
RecordedHistory::~RecordedHistory() {
    if (!storer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(guard_);
        stopping_ = true;
    }
    work_.notify_all();
    storer_.join();
    std::string problem;
    if (!waiting_.empty()) {
        consoleOut(LineKind::Warning,
                   "scan history: could not store %zu of the last scans; a client that comes back for them is "
                   "told they may be lost\n",
                   waiting_.size());
    } else if (!store_->markEnded(next_ - 1, problem)) {
        consoleOut(LineKind::Warning, "scan history: cannot mark the store as ended cleanly (%s)\n", problem.c_str());
    }
}

NumberedScan RecordedHistory::number(const std::string& plainMessage, std::uint64_t size, const std::string& text,
                                     const std::string& scanner, const ScanContent& content) {
    NumberedScan scan;
    scan.time = std::chrono::system_clock::now();
    scan.scanner = scanner;
    bool reservationLow = false;
    {
        std::unique_lock<std::mutex> lock(guard_);
        // Only when scans come faster than the store reserves, or the disk
        // stalls: a number beyond the reservation could come again after a
        // power cut. A failing store waits for nothing.
        work_.wait(lock, [this] { return !store_ || failing_ || next_ <= reserved_; });
        scan.seq = next_++;
        reservationLow = store_ && next_ + kBlock / 2 > reserved_;
    }
    if (reservationLow) work_.notify_all();
    scan.plain = std::make_shared<const std::string>(plainMessage);
    scan.numbered = std::make_shared<const std::string>(numberedScanMessage(size, text, scan.seq, scan.time, scanner, content));
    return scan;
}

void RecordedHistory::keep(const NumberedScan& scan) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        kept_.add(scan);
        if (!store_ || kept_.depth() == 0) return;
        // A stalled disk: those past the depth would leave the store at once.
        if (waiting_.size() == kept_.depth()) waiting_.pop_front();
        waiting_.push_back(scan);
    }
    work_.notify_all();
}

// The storing thread: writes what was kept, and reserves the next block
// once half of the current one is given.
void RecordedHistory::keepStoring() {
    std::unique_lock<std::mutex> lock(guard_);
    const auto reservationLow = [this] { return !failing_ && !stopping_ && next_ + kBlock / 2 > reserved_; };
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || !waiting_.empty() || reservationLow(); });
        if (reservationLow()) {
            reserveAhead(lock);
            continue;
        }
        if (waiting_.empty()) return;  // stopping, and all stored
        // The scans kept meanwhile go in the same write.
        if (work_.wait_for(lock, kStorePause, [&] { return stopping_ || reservationLow(); }) && reservationLow())
            continue;
        if (storeWaiting(lock)) continue;
        if (stopping_) return;
        work_.wait_for(lock, kRetryPause, [this] { return stopping_; });
    }
}

void RecordedHistory::reserveAhead(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t upTo = next_ + kBlock;
    lock.unlock();
    std::string problem;
    const bool reserved = store_->reserve(upTo, problem);
    lock.lock();
    if (reserved) reserved_ = upTo;
    else trouble("cannot reserve numbers in the store", problem);
    work_.notify_all();
}

bool RecordedHistory::storeWaiting(std::unique_lock<std::mutex>& lock) {
    std::deque<NumberedScan> batch;
    batch.swap(waiting_);
    lock.unlock();
    std::string problem;
    const bool stored = store_->write(batch, kept_.depth(), problem);
    lock.lock();
    if (!stored) {
        // Tried again with those kept since, so that what a restart finds
        // has no hole that no client would be told of; those past the depth
        // would leave the store at once.
        for (NumberedScan& later : waiting_) batch.push_back(std::move(later));
        while (batch.size() > kept_.depth()) batch.pop_front();
        waiting_.swap(batch);
        trouble("cannot store scans", problem);
    } else if (failing_) {
        failing_ = false;
        consoleOut(LineKind::Event, "scan history: storing scans again\n");
    }
    return stored;
}

// Said once until the store works again; meanwhile numbers go on beyond
// the reservation and scans are kept in memory only.
void RecordedHistory::trouble(const char* what, const std::string& why) {
    if (failing_) return;
    failing_ = true;
    consoleOut(LineKind::Warning, "scan history: %s (%s); scans are kept in memory only meanwhile\n", what, why.c_str());
    work_.notify_all();
}

ScansSince RecordedHistory::since(std::uint64_t seq, std::size_t limit) const {
    std::lock_guard<std::mutex> lock(guard_);
    return kept_.since(seq, limit, next_ - 1);
}

ScansSince RecordedHistory::between(std::uint64_t seq, std::uint64_t upTo, std::size_t limit) const {
    std::lock_guard<std::mutex> lock(guard_);
    const std::uint64_t last = next_ - 1;
    if (seq >= upTo && seq <= last) return {};
    ScansSince found = kept_.since(seq, limit, last);
    if (found.ahead || upTo >= last) return found;
    // What is missed above `upTo` is missed above `seq` as well.
    found.missed -= kept_.since(upTo, 0, last).missed;
    while (!found.scans.empty() && found.scans.back().seq > upTo) {
        found.scans.pop_back();
        found.more = false;
    }
    return found;
}

std::uint64_t RecordedHistory::last() const {
    std::lock_guard<std::mutex> lock(guard_);
    return next_ - 1;
}

std::uint64_t RecordedHistory::oldest() const {
    std::lock_guard<std::mutex> lock(guard_);
    return kept_.oldest();
}

std::size_t RecordedHistory::kept() const {
    std::lock_guard<std::mutex> lock(guard_);
    return kept_.size();
}
