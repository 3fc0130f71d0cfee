#include "recorded_history.h"

#include "text/scan_message.h"

RecordedHistory::RecordedHistory(std::size_t depth, std::uint64_t first, std::uint64_t skippedAfter)
    : kept_(depth), next_(first) {
    kept_.skipped(skippedAfter, first);
}

RecordedHistory::~RecordedHistory() = default;

NumberedScan RecordedHistory::number(const std::string& plainMessage, std::uint64_t size, const std::string& text,
                                     const std::string& scanner) {
    NumberedScan scan;
    scan.time = std::chrono::system_clock::now();
    scan.scanner = scanner;
    {
        std::lock_guard<std::mutex> lock(guard_);
        scan.seq = next_++;
    }
    scan.plain = std::make_shared<const std::string>(plainMessage);
    scan.numbered = std::make_shared<const std::string>(numberedScanMessage(size, text, scan.seq, scan.time, scanner));
    return scan;
}

void RecordedHistory::keep(const NumberedScan& scan) {
    std::lock_guard<std::mutex> lock(guard_);
    kept_.add(scan);
}

ScansSince RecordedHistory::since(std::uint64_t seq, std::size_t limit) const {
    std::lock_guard<std::mutex> lock(guard_);
    return kept_.since(seq, limit, next_ - 1);
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
