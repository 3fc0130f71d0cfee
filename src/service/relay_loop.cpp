#include "service/relay_loop.h"

#include "console/console.h"
#include "console/console_lines.h"
#include "gs1/scan_reading.h"
#include "scanners/scan_source.h"
#include "service/service_stats.h"
#include "text/scan_message.h"

#include <chrono>
#include <optional>
#include <string>

namespace {

// A scan whose text ended early (--invalid stop, the default) goes out as
// it always has, but is said: a scanner sending a charset other than the
// one the service expects loses part of every scan. Once a minute at most,
// as such a scanner cuts every scan short.
class CutShortNotice {
public:
    void scanRelayed(const Scan& scan, const std::string& scanner) {
        if (!scan.cutAt) return;
        const auto now = std::chrono::steady_clock::now();
        if (last_ && now - *last_ < std::chrono::minutes(1)) return;
        last_ = now;
        consoleOut(LineKind::Event,
                   "scan from %s cut short at byte %llu: bytes its charset rejects, or a character cut off at the "
                   "end; see --invalid replace and --charset\n",
                   scanner.c_str(), static_cast<unsigned long long>(*scan.cutAt));
    }

private:
    std::optional<std::chrono::steady_clock::time_point> last_;
};

const ScannerDevice kUnknownDevice;

// What a numbered client learns of a scan beside its text. A scanner set to
// send AIM identifiers has one before its data; a HID POS scanner gives it
// beside the data, and the text is then the data itself.
ScanContent contentOf(const Scan& scan, const ScannerDevice& device) {
    ScanContent content =
        scan.symbology.empty()
            ? ScanContent{readScanContent(scan.text, device.aimIds, device.gs1, currentYearUtc()), device.aimIds}
            : ScanContent{readScanContent(scan.symbology + scan.text, true, device.gs1, currentYearUtc()), true};
    // A text its charset cut short, or a scan that did not reach its end,
    // holds only the first part of the data: a lot or serial cut there
    // would still pass as whole.
    if ((scan.cutAt || scan.partial) && !content.reading.gs1.empty()) {
        content.reading.gs1.clear();
        content.reading.gs1Error = "the scan was cut short";
    }
    return content;
}

}  // namespace

void runRelayLoop(ScanSource& source, ScanHistory& history, const std::vector<ScannerDevice>& devices,
                  const std::vector<ScanSink>& sinks, ServiceStats& stats) {
    CutShortNotice cutShort;
    for (;;) {
        flushConsole();
        const std::optional<Scan> scan = source.waitForScan();
        if (!scan) break;
        // Clients see the scanner's name; the console, for whoever fixes the
        // device, its path.
        const ScannerDevice& device = scan->device < devices.size() ? devices[scan->device] : kUnknownDevice;
        const std::string& scanner = device.label();
        const std::string message = enJsonFormat(scan->text.size(), scan->text);
        if (!message.empty()) {
            const NumberedScan numbered =
                history.number(message, scan->text.size(), scan->text, scanner, contentOf(*scan, device));
            for (const ScanSink& sink : sinks) sink(numbered);
        }
        stats.scanRelayed(*scan);
        cutShort.scanRelayed(*scan, device.path);
        // Each scan relayed is progress: stored scans uploaded one after
        // another leave no quiet moment to say so in.
        stats.relayAlive();
        flushConsole();
    }
}
