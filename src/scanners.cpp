#include "scanners.h"

#include "console_lines.h"
#include "hid_pos_scan_source.h"
#include "keyboard_scan_source.h"
#include "scanner_set.h"
#include "serial_port.h"
#include "startup_advice.h"

#include <cerrno>
#include <cstring>

namespace {

// A serial scanner's source. The first one's port (SerialHandle) is open
// already at start-up and opened here when it comes back; the others have
// ports and buffers of their own.
std::unique_ptr<ScanSource> openSerialScanner(const ScannerDevice& device, const Options& options,
                                              RelayBuffers& buffers, const ScanFraming& framing, bool atStartUp) {
    if (device.path != options.device) {
        const int port = openOtherSerialPort(device.path.c_str(), PendingInput::Discard);
        if (port < 0) {
            if (atStartUp) adviseOnUnreadableScanner(device.path, strerror(errno));
            return nullptr;
        }
        if (atStartUp) consoleOut(LineKind::EventsOnly, "serial scanner %s: reading it\n", device.path.c_str());
        return std::make_unique<SerialScanSource>(port, device.path, options.charsets, framing);
    }
    if (!atStartUp && init_com(device.path.c_str(), 115200, 8, 'N', 1) < 0) return nullptr;
    return std::make_unique<SerialScanSource>(buffers, device.path, options.charsets, framing);
}

std::unique_ptr<ScanSource> openScanner(const ScannerDevice& device, const Options& options, RelayBuffers& buffers,
                                        const ScanFraming& framing, bool atStartUp) {
    switch (device.kind) {
    case ScannerKind::Serial: return openSerialScanner(device, options, buffers, framing, atStartUp);
    case ScannerKind::Keyboard:
        return KeyboardScanSource::open(device.path, options.keyboard, options.charsets.invalid, framing, atStartUp);
    case ScannerKind::HidPos: return HidPosScanSource::open(device.path, options.charsets, framing, atStartUp);
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<ScanSource> openScanners(const Options& options, RelayBuffers& buffers, const ScanFraming& framing,
                                         ServiceStats& stats) {
    const ScannerDevice& first = options.devices.front();
    if (options.devices.size() == 1 && first.kind == ScannerKind::Serial)
        return openScanner(first, options, buffers, framing, true);
    // Their readers run on threads of their own: alive as they may be, that
    // says nothing of the relay loop (the set's wait says that).
    ScanFraming readers = framing;
    readers.alive = nullptr;
    std::vector<std::unique_ptr<ScanSource>> opened;
    for (const ScannerDevice& device : options.devices) {
        opened.push_back(openScanner(device, options, buffers, readers, true));
        if (!opened.back()) {
            // A serial scanner's reason was said above; the others' lines said theirs.
            if (device.kind != ScannerKind::Serial) adviseOnUnreadableScanner(device.path, "");
            return nullptr;
        }
    }
    auto reopen = [&options, &buffers, readers](const ScannerDevice& device) {
        return openScanner(device, options, buffers, readers, false);
    };
    return std::make_unique<ScannerSet>(options.devices, std::move(opened), reopen, stats, framing);
}
