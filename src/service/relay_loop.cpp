#include "service/relay_loop.h"

#include "console/console.h"
#include "scanners/scan_source.h"
#include "service/service_stats.h"
#include "text/scan_message.h"

void runRelayLoop(ScanSource& source, ScanHistory& history, const std::vector<ScannerDevice>& devices,
                  const std::vector<ScanSink>& sinks, ServiceStats& stats) {
    for (;;) {
        flushConsole();
        const std::optional<Scan> scan = source.waitForScan();
        if (!scan) break;
        const std::string message = enJsonFormat(scan->text.size(), scan->text);
        if (!message.empty()) {
            const std::string scanner = scan->device < devices.size() ? devices[scan->device].path : std::string();
            const NumberedScan numbered = history.number(message, scan->text.size(), scan->text, scanner);
            for (const ScanSink& sink : sinks) sink(numbered);
        }
        stats.scanRelayed(scan->rawLength, scan->replaced, scan->device);
        // Each scan relayed is progress: stored scans uploaded one after
        // another leave no quiet moment to say so in.
        stats.relayAlive();
        flushConsole();
    }
}
