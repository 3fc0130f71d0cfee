// A scanner the service reads, and what kind it is: a serial scanner (a tty:
// USB serial adapter or CDC-ACM), a keyboard-mode scanner (an input event
// device) or a HID point-of-sale scanner (hidraw).
#pragma once

#include "scanners/serial_line.h"

#include <optional>
#include <string>
#include <utility>

enum class ScannerKind { Serial, Keyboard, HidPos };

struct ScannerDevice {
    ScannerDevice(ScannerKind kind = ScannerKind::Serial, std::string path = {})
        : kind(kind), path(std::move(path)) {}

    ScannerKind kind;
    std::string path;
    // A serial scanner's own line settings, as given after a comma behind
    // its path ("9600,7E1"; empty: none), and its line once the command
    // line is read: the settings of --baud, --serial-format and --flow with
    // its own on top.
    std::string ownSettings;
    SerialLine line;
};

// serial:PATH, keyboard:PATH, hidpos:PATH, or PATH alone, whose kind follows
// the device: an input event device is a keyboard scanner, a hidraw device
// a HID POS scanner, anything else (a tty, or nothing there yet) serial.
// Nothing for an empty path.
std::optional<ScannerDevice> parseScannerDevice(const std::string& text);

// "serial", "keyboard" or "hidpos".
const char* scannerKindName(ScannerKind kind);
