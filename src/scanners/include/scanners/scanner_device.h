// A scanner the service reads, and what kind it is: a serial scanner (a tty:
// USB serial adapter or CDC-ACM), a keyboard-mode scanner (an input event
// device) or a HID point-of-sale scanner (hidraw).
#pragma once

#include <optional>
#include <string>

enum class ScannerKind { Serial, Keyboard, HidPos };

struct ScannerDevice {
    ScannerKind kind = ScannerKind::Serial;
    std::string path;
};

// serial:PATH, keyboard:PATH, hidpos:PATH, or PATH alone, whose kind follows
// the device: an input event device is a keyboard scanner, a hidraw device
// a HID POS scanner, anything else (a tty, or nothing there yet) serial.
// Nothing for an empty path.
std::optional<ScannerDevice> parseScannerDevice(const std::string& text);

// "serial", "keyboard" or "hidpos".
const char* scannerKindName(ScannerKind kind);
