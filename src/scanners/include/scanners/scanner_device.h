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
    // What the shop calls it (name=till-1; empty: none), which clients see
    // instead of the path: a path means nothing at a till and changes when
    // a cable moves.
    std::string name;
    // The scanner sends an AIM symbology identifier before each scan (aim,
    // or --aim-ids for all), and sends GS1 element strings with GS as FNC1
    // but no identifier (gs1).
    bool aimIds = false;
    bool gs1 = false;

    // What clients see as its "scanner": its name, or without one its path.
    const std::string& label() const { return name.empty() ? path : name; }
};

// serial:PATH, keyboard:PATH, hidpos:PATH, or PATH alone, whose kind follows
// the device: an input event device is a keyboard scanner, a hidraw device
// a HID POS scanner, anything else (a tty, or nothing there yet) serial.
// Nothing for an empty path.
std::optional<ScannerDevice> parseScannerDevice(const std::string& text);

// A scanner's name: 1 to 32 letters, digits, '-', '_' or '.', so that it
// goes as it is into a URL's query, an MQTT topic level and a metric label.
bool validScannerName(const std::string& name);

// Takes one setting after a scanner's path that every kind of scanner has:
// name=NAME, aim or gs1. False when `setting` is none of them (a serial
// line setting, say); `problem` then says what is wrong when it looked
// like one of them but was bad (an invalid name).
bool takeScannerSetting(const std::string& setting, ScannerDevice& device, std::string& problem);

// "serial", "keyboard" or "hidpos".
const char* scannerKindName(ScannerKind kind);
