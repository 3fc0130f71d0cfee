// Several scanners at once, each read on a thread of its own; their scans
// are handed on one at a time, in the order they ended. A scanner that goes
// while others remain is opened again when it comes back (its directory is
// watched, nothing is polled), with one console line each way. The set
// ends when its last scanner is gone, or once the service is to stop.
//
// The readers never say that the relay is alive: only the relay loop's own
// wait does, so that a loop stuck behind a sink stops the watchdog's pings.
// Scans wait for the loop in a bounded queue; a reader that finds it full
// waits too, and stops reading its scanner meanwhile.
#pragma once

#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"
#include "scanners/scanner_device.h"
#include "scanners/scanners.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ScannerSet : public ScanSource {
public:
    // A scanner's source, opened; nothing when it cannot be (now).
    using Opener = std::function<std::unique_ptr<ScanSource>(const ScannerDevice&)>;
    // Told when a scanner (by its index) is opened, with the name it gives
    // itself, or gone; on the scanner's reader thread.
    using Watch = ScannerWatch;

    // Scans that may wait for the relay loop. At the fastest a scanner
    // sends (a keyboard scanner's upload: a key every 2 ms, 9 keys a scan)
    // that is over 4 s of scans, far longer than a loop whose sinks never
    // block takes; and about 2 MiB if each were as long as a serial scan's
    // converted text may be (8 KiB).
    static constexpr std::size_t kQueuedScans = 256;

    // `opened` holds a source for each device, in the same order. Of
    // `framing`: its stop descriptor (readable once the service is to
    // stop), and how often the waiting relay loop says it is alive.
    ScannerSet(std::vector<ScannerDevice> devices, std::vector<std::unique_ptr<ScanSource>> opened, Opener open,
               Watch watch, const ScanFraming& framing);
    ~ScannerSet() override;
    ScannerSet(const ScannerSet&) = delete;
    ScannerSet& operator=(const ScannerSet&) = delete;

    std::optional<Scan> waitForScan() override;

private:
    void read(std::size_t index, std::unique_ptr<ScanSource> source);
    void queue(Scan scan);
    bool lastOneGone();
    std::unique_ptr<ScanSource> waitForReturn(const ScannerDevice& device);
    bool ending() const;

    const std::vector<ScannerDevice> devices_;
    const Opener open_;
    const Watch watch_;
    const int stop_;
    const std::chrono::milliseconds heartbeat_;
    const std::function<void()> alive_;
    const int ended_;  // an eventfd: readable once the last scanner is gone
    std::mutex guard_;
    std::condition_variable changed_;
    std::condition_variable roomFreed_;
    std::deque<Scan> scans_;
    std::size_t connected_;
    std::size_t reading_;
    std::vector<std::thread> readers_;
};
