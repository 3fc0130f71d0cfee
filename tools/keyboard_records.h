// What a keyboard-mode scanner set to the US layout sends for a text (UTF-8):
// input event records, each key pressed and released with SYN_REPORT after
// each, Shift held for capitals and shifted symbols, "\r" as Enter and "\t"
// as Tab. Characters the layout has no key for but Windows-1252 has are typed
// as the scanner's Alt mode does: left Alt held, then 0 and the character's
// number on the keypad. Characters neither has are left out.
#pragma once

#include <linux/input.h>

#include <string>
#include <string_view>
#include <vector>

std::vector<input_event> keyRecords(std::string_view text);
// Whether keyRecords types every character of the text.
bool typeable(std::string_view text);
// One key event record, or a SYN_REPORT (type EV_SYN).
input_event keyRecord(unsigned short type, unsigned short code, int value);
// Records as the bytes a device's reads return.
std::string recordBytes(const std::vector<input_event>& records);

// A keyboard-mode scanner played on a FIFO at `path` (no /dev/uinput needed):
// what it types is read there as from an input event device. Unplugging
// closes and removes the FIFO, which the reader sees as the device's end.
class VirtualKeyboardScanner {
public:
    explicit VirtualKeyboardScanner(std::string path);
    ~VirtualKeyboardScanner();
    VirtualKeyboardScanner(const VirtualKeyboardScanner&) = delete;
    VirtualKeyboardScanner& operator=(const VirtualKeyboardScanner&) = delete;

    bool pluggedIn() const { return fd_ >= 0; }
    void plug();
    void unplug();
    // Types the text (US layout); false when it has characters that cannot
    // be typed, or nobody can take it.
    bool type(std::string_view text);
    // Sends records as they are; false when nobody can take them.
    bool send(const std::vector<input_event>& records);

private:
    std::string path_;
    int fd_ = -1;
};
