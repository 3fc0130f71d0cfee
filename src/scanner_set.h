// Several scanners at once, each read on a thread of its own; their scans
// are handed on one at a time, in the order they ended. A scanner that goes
// while others remain is opened again when it comes back (its directory is
// watched, nothing is polled), with one console line each way. The set
// ends when its last scanner is gone, or once the service is to stop.
#pragma once

#include "scan_source.h"
#include "scanner_device.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ServiceStats;

class ScannerSet : public ScanSource {
public:
    // A scanner's source, opened; nothing when it cannot be (now).
    using Opener = std::function<std::unique_ptr<ScanSource>(const ScannerDevice&)>;

    // `opened` holds a source for each device, in the same order; `stop`
    // becomes readable once the service is to stop.
    ScannerSet(std::vector<ScannerDevice> devices, std::vector<std::unique_ptr<ScanSource>> opened, Opener open,
               ServiceStats& stats, int stop);
    ~ScannerSet() override;
    ScannerSet(const ScannerSet&) = delete;
    ScannerSet& operator=(const ScannerSet&) = delete;

    std::optional<Scan> waitForScan() override;

private:
    void read(std::size_t index, std::unique_ptr<ScanSource> source);
    bool lastOneGone();
    std::unique_ptr<ScanSource> waitForReturn(const ScannerDevice& device);
    bool ending() const;

    const std::vector<ScannerDevice> devices_;
    const Opener open_;
    ServiceStats& stats_;
    const int stop_;
    const int ended_;  // an eventfd: readable once the last scanner is gone
    std::mutex guard_;
    std::condition_variable changed_;
    std::deque<Scan> scans_;
    std::size_t connected_;
    std::size_t reading_;
    std::vector<std::thread> readers_;
};
