// Scans from a keyboard-mode scanner: a Linux input event device, taken for
// ourselves (EVIOCGRAB) so that its keystrokes never reach the window in
// focus. The text goes to clients in the conversion mode's charset.
#pragma once

#include "device_scan_source.h"
#include "input_records.h"
#include "key_layout.h"
#include "keyboard_decoder.h"
#include "scanners/keyboard_settings.h"
#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"
#include "text/charset.h"

#include <memory>
#include <string>

class KeyboardScanSource : public DeviceScanSource {
public:
    // Opens the device (saying so when `announce`); nothing, with one line
    // saying why, when it cannot.
    static std::unique_ptr<KeyboardScanSource> open(const std::string& path, const KeyboardSettings& settings,
                                                    InvalidBytes invalid, ScanFraming framing, bool announce);
    // What the device calls itself ("" when it does not say: a FIFO, say).
    std::string name() const override { return name_; }

private:
    KeyboardScanSource(int fd, std::string path, std::unique_ptr<KeyLayout> layout, const KeyboardSettings& settings,
                       InvalidBytes invalid, ScanFraming framing);
    void takeBytes(const char* bytes, std::size_t length) override;
    void endScanUnderWay() override;
    // While a scan is being typed, silence ends it.
    std::chrono::milliseconds quietLimit() const override;
    void quietSpell() override { endScanUnderWay(); }
    void keep(const std::optional<std::string>& text);

    const std::string path_;
    std::string name_;
    std::unique_ptr<KeyLayout> layout_;
    KeyboardDecoder decoder_;
    InputRecords records_;
    const InvalidBytes invalid_;
};
