#include "scanners/scanners.h"

#include "hid_pos_scan_source.h"
#include "keyboard_scan_source.h"
#include "scanner_set.h"
#include "serial_scan_source.h"
#include "console/console_lines.h"
#include "scanners/scanner_advice.h"
#include "scanners/serial_port.h"

#include <cerrno>
#include <cstring>

namespace {

// A driver that cannot run part of the line asked for keeps its own for
// that part, and the settings still "succeed": said once a scanner is
// opened, not at each reopen between its scans.
void warnOfLineKept(int port, const ScannerDevice& device) {
    const auto kept = lineOfPort(port);
    if (!kept || describeLine(*kept) == describeLine(device.line)) return;
    consoleErr(LineKind::Warning,
               "TirnSerial: warning: serial scanner %s runs at %s, not %s: its port cannot do the rest; its scans "
               "may arrive garbled\n",
               device.path.c_str(), describeLine(*kept).c_str(), describeLine(device.line).c_str());
}

// A serial scanner's source. The first one's port (SerialHandle) is open
// already at start-up and opened here when it comes back; the others have
// ports and buffers of their own.
std::unique_ptr<ScanSource> openSerialScanner(const ScannerDevice& device, const ScannerSettings& settings,
                                              RelayBuffers& buffers, const ScanFraming& framing, bool atStartUp) {
    if (device.path != settings.startupPort) {
        const int port = openOtherSerialPort(device.path.c_str(), device.line, PendingInput::Discard);
        if (port < 0) {
            if (atStartUp) adviseOnUnreadableScanner(device.path, strerror(errno));
            return nullptr;
        }
        warnOfLineKept(port, device);
        if (atStartUp) consoleOut(LineKind::EventsOnly, "serial scanner %s: reading it\n", device.path.c_str());
        return std::make_unique<SerialScanSource>(port, device.path, device.line, settings.charsets, framing);
    }
    if (!atStartUp && init_com(device.path.c_str(), device.line) < 0) return nullptr;
    warnOfLineKept(SerialHandle, device);
    return std::make_unique<SerialScanSource>(buffers, device.path, device.line, settings.charsets, framing);
}

std::unique_ptr<ScanSource> openScanner(const ScannerDevice& device, const ScannerSettings& settings, RelayBuffers& buffers,
                                        const ScanFraming& framing, bool atStartUp) {
    switch (device.kind) {
    case ScannerKind::Serial: return openSerialScanner(device, settings, buffers, framing, atStartUp);
    case ScannerKind::Keyboard:
        return KeyboardScanSource::open(device.path, settings.keyboard, settings.charsets.invalid, framing, atStartUp);
    case ScannerKind::HidPos: return HidPosScanSource::open(device.path, settings.charsets, framing, atStartUp);
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<ScanSource> openScanners(const ScannerSettings& settings, RelayBuffers& buffers, const ScanFraming& framing,
                                         const ScannerWatch& watch) {
    const ScannerDevice& first = settings.devices.front();
    if (settings.devices.size() == 1 && first.kind == ScannerKind::Serial)
        return openScanner(first, settings, buffers, framing, true);
    // Their readers run on threads of their own: alive as they may be, that
    // says nothing of the relay loop (the set's wait says that).
    ScanFraming readers = framing;
    readers.alive = nullptr;
    std::vector<std::unique_ptr<ScanSource>> opened;
    for (const ScannerDevice& device : settings.devices) {
        opened.push_back(openScanner(device, settings, buffers, readers, true));
        if (!opened.back()) {
            // A serial scanner's reason was said above; the others' lines said theirs.
            if (device.kind != ScannerKind::Serial) adviseOnUnreadableScanner(device.path, "");
            return nullptr;
        }
    }
    auto reopen = [&settings, &buffers, readers](const ScannerDevice& device) {
        return openScanner(device, settings, buffers, readers, false);
    };
    return std::make_unique<ScannerSet>(settings.devices, std::move(opened), reopen, watch, framing);
}
