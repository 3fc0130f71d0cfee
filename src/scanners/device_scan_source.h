// What keyboard-mode and HID POS scanners share: a device read whenever it
// has something, the scans its bytes finish handed out one by one, a quiet
// spell that may end the scan under way, and the service's stop, at which
// what the device already holds is read and goes out too. The kinds differ
// only in how bytes become scans.
#pragma once

#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

class DeviceScanSource : public ScanSource {
public:
    ~DeviceScanSource() override;
    DeviceScanSource(const DeviceScanSource&) = delete;
    DeviceScanSource& operator=(const DeviceScanSource&) = delete;

    std::optional<Scan> waitForScan() final;

protected:
    // Takes the open device (non-blocking), which it closes.
    DeviceScanSource(int fd, ScanFraming framing);

    // Bytes read from the device, as they came.
    virtual void takeBytes(const char* bytes, std::size_t length) = 0;
    // The scan under way, if any, ends where it is.
    virtual void endScanUnderWay() = 0;
    // How long the device may stay quiet before quietSpell().
    virtual std::chrono::milliseconds quietLimit() const { return framing_.heartbeat; }
    virtual void quietSpell() {}

    void finish(Scan scan) { finished_.push_back(std::move(scan)); }
    int fd() const { return fd_; }
    const ScanFraming& framing() const { return framing_; }

private:
    void stop();
    bool readDevice();

    const int fd_;
    const ScanFraming framing_;
    std::deque<Scan> finished_;
    bool ended_ = false;
};
