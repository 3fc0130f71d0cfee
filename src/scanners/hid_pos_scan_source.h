// Scans from a HID point-of-sale scanner (usage page 0x8C), which Linux
// gives only as a hidraw device: each read is one report, laid out as the
// scanner's report descriptor says. Its bytes are converted like a serial
// scanner's (--charset).
#pragma once

#include "device_scan_source.h"
#include "hid_pos_layout.h"
#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"
#include "text/charset.h"

#include <memory>
#include <string>

class HidPosScanSource : public DeviceScanSource {
public:
    // Opens the device and reads its layout (saying so when `announce`);
    // nothing, with one line naming the device and saying why, when it cannot.
    static std::unique_ptr<HidPosScanSource> open(const std::string& path, ScanCharsets charsets, ScanFraming framing,
                                                  bool announce);
    std::string name() const override { return name_; }

private:
    HidPosScanSource(int fd, std::string name, HidPosLayout layout, ScanCharsets charsets, ScanFraming framing);
    void takeBytes(const char* report, std::size_t length) override;
    void endScanUnderWay() override;
    void keep(const HidPosScan& scan);

    const std::string name_;
    HidPosReports reports_;
    const ScanCharsets charsets_;
};
