// Scans from a HID point-of-sale scanner (usage page 0x8C), which Linux
// gives only as a hidraw device: each read is one report, laid out as the
// scanner's report descriptor says. Its bytes are converted like a serial
// scanner's (--charset).
#pragma once

#include "charset.h"
#include "hid_pos_layout.h"
#include "scan_reader.h"
#include "scan_source.h"

#include <deque>
#include <memory>
#include <string>

class HidPosScanSource : public ScanSource {
public:
    // Opens the device and reads its layout (saying so when `announce`);
    // nothing, with one line naming the device and saying why, when it cannot.
    static std::unique_ptr<HidPosScanSource> open(const std::string& path, ScanCharsets charsets, ScanFraming framing,
                                                  bool announce);
    ~HidPosScanSource() override;
    HidPosScanSource(const HidPosScanSource&) = delete;
    HidPosScanSource& operator=(const HidPosScanSource&) = delete;

    std::optional<Scan> waitForScan() override;
    std::string name() const override { return name_; }

private:
    HidPosScanSource(int fd, std::string name, HidPosLayout layout, ScanCharsets charsets, ScanFraming framing);
    void stop();
    bool readReport();
    void endScanUnderWay();
    void keep(const std::string& bytes);

    const int fd_;
    const std::string name_;
    HidPosReports reports_;
    const ScanCharsets charsets_;
    const ScanFraming framing_;
    std::deque<Scan> finished_;
    bool ended_ = false;
};
