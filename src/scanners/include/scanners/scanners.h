// The scanners component: every source of scans (serial scanners, framed by
// silence or an end byte; keyboard-mode scanners; HID POS scanners), each
// converting its scans to the clients' character set, and the set that
// reads several at once and opens a scanner again when it comes back. This
// header is its door, with the types it is given and hands back
// (scan_source.h, scan_reader.h, scanner_device.h, relay_buffers.h,
// keyboard_settings.h) and the serial port's long-standing calls
// (serial_port.h). It uses the text component (charsets) and the console.
#pragma once

#include "scanners/keyboard_settings.h"
#include "scanners/relay_buffers.h"
#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"
#include "scanners/scanner_device.h"
#include "text/charset.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Which scanners to read, and how their scans become text.
struct ScannerSettings {
    // In the order given; never empty.
    std::vector<ScannerDevice> devices;
    // The serial port that start-up opened (SerialHandle); empty when no
    // scanner is serial.
    std::string startupPort;
    KeyboardSettings keyboard;
    ScanCharsets charsets;
};

// Told when a scanner, by its index in the settings, is opened (with the
// name it gives itself) or gone.
using ScannerWatch = std::function<void(std::size_t index, bool connected, const std::string& name)>;

// A serial scanner alone is read as it always was; other scanners, or
// several, are read together (and said to come and go).
// Nothing, with a line saying why, when a scanner cannot be opened.
std::unique_ptr<ScanSource> openScanners(const ScannerSettings& settings, RelayBuffers& buffers,
                                         const ScanFraming& framing, const ScannerWatch& watch);
