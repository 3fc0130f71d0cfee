// Scans from a keyboard-mode scanner: a Linux input event device, taken for
// ourselves (EVIOCGRAB) so that its keystrokes never reach the window in
// focus. The text goes to clients in the conversion mode's charset.
#pragma once

#include "charset.h"
#include "input_records.h"
#include "key_layout.h"
#include "keyboard_decoder.h"
#include "scan_reader.h"
#include "scan_source.h"

#include <deque>
#include <memory>
#include <string>

struct KeyboardSettings {
    std::string layout = "us";       // --keymap
    std::string altCodepage = "cp437";  // --alt-codepage
};

class KeyboardScanSource : public ScanSource {
public:
    // Opens the device (saying so when `announce`); nothing, with one line
    // saying why, when it cannot.
    static std::unique_ptr<KeyboardScanSource> open(const std::string& path, const KeyboardSettings& settings,
                                                    InvalidBytes invalid, ScanFraming framing, bool announce);
    ~KeyboardScanSource() override;
    KeyboardScanSource(const KeyboardScanSource&) = delete;
    KeyboardScanSource& operator=(const KeyboardScanSource&) = delete;

    std::optional<Scan> waitForScan() override;
    // What the device calls itself ("" when it does not say: a FIFO, say).
    std::string name() const override { return name_; }

private:
    KeyboardScanSource(int fd, std::string path, std::unique_ptr<KeyLayout> layout, const KeyboardSettings& settings,
                       InvalidBytes invalid, ScanFraming framing);
    void stop();
    bool readRecords();
    void endScanUnderWay();
    void keep(const std::optional<std::string>& text);

    const int fd_;
    const std::string path_;
    std::string name_;
    std::unique_ptr<KeyLayout> layout_;
    KeyboardDecoder decoder_;
    InputRecords records_;
    const InvalidBytes invalid_;
    const ScanFraming framing_;
    std::deque<Scan> finished_;
    bool ended_ = false;
};
