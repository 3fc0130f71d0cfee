// Where one scan ends in what the scanner sends. USB serial adapters hand
// bytes over in packets with gaps of up to 16 ms inside one scan, so a scan
// ends at a silence longer than that, at an optional end byte, or when the
// buffer is full.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

struct ScanFraming {
    std::chrono::milliseconds gap;
    std::optional<unsigned char> endOn;
    // While it waits for a scan, the reader wakes this often to say that it
    // is alive (for the service manager's watchdog).
    std::chrono::milliseconds heartbeat{1000};
    std::function<void()> alive;
    // Readable once the service is to stop: a scan under way ends at once,
    // and no new one is waited for. -1: never.
    int stop = -1;
};

struct ScanRead {
    int length;  // bytes of the scan, from the start of the buffer
    int total;   // bytes in the buffer: the scan, then the start of the next one
    bool stopped = false;  // nothing read: the service is to stop
};

// Reads one scan from the port into buffer, which already holds `held`
// bytes that arrived without a pause before. With none held, waits for the
// scanner first, saying it is alive every heartbeat. Never reads more than `capacity` bytes in all. A length
// of 0 means nothing came: the port failed or the adapter is gone. When the
// adapter goes in the middle of a scan, what arrived is the scan.
ScanRead readScan(int port, char* buffer, int capacity, int held, const ScanFraming& framing);
