// TirnSerial: relays barcode scans from the scanner on /dev/ttyUSB0 to the
// WebSocket clients on port 9010.
#include "console/console.h"
#include "console/console_lines.h"
#include "fleet/mqtt_publisher.h"
#include "fleet/scan_outbox.h"
#include "history/scan_history.h"
#include "publication/scan_feeds.h"
#include "publication/server_thread.h"
#include "publication/subscriber_list.h"
#include "publication/websocketcontrol.h"
#include "scanners/scanners.h"
#include "secrets/token_file.h"
#include "service/options.h"
#include "service/process_policy.h"
#include "service/relay_loop.h"
#include "service/service_stats.h"
#include "service/startup.h"
#include "service/state_space.h"
#include "service/systemd_notifier.h"
#include "text/charset.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// As when the serial scanner's port cannot be opened at start-up.
constexpr int kExitScannerUnavailable = 255;

int shutDown(uid_t originalUid) {
    stopWebsocketServer();
    if (setuid(originalUid) != 0) {
        consoleOut(LineKind::Error, "recovery process user failed!\n");
        return -1;
    }
    return 0;
}

bool stateDirectoryUsable(const std::string& dir) {
    std::string problem;
    if (prepareStateDirectory(dir, problem)) return true;
    consoleErr(LineKind::Error, "TirnSerial: cannot write the state directory %s: %s (see --state-dir)\n", dir.c_str(),
               problem.c_str());
    return false;
}

// Without --mqtt a state directory that cannot be used costs only numbers
// that go on across restarts and the history's: one warning, and the
// service goes on with numbers from the clock and the history in memory.
std::unique_ptr<ScanHistory> openHistory(const Options& options) {
    const std::string& dir = options.mqtt.stateDir;
    std::string problem;
    if (!prepareStateDirectory(dir, problem)) {
        consoleErr(LineKind::Warning,
                   "TirnSerial: warning: cannot use the state directory %s (%s): scan numbers go on from the clock "
                   "(and go back if it does) and the history is kept in memory only (see --state-dir)\n",
                   dir.c_str(), problem.c_str());
        flushConsole();
        return ScanHistory::open("", options.historyDepth, problem);
    }
    auto history = ScanHistory::open(dir, options.historyDepth, problem);
    if (!problem.empty()) {
        consoleOut(LineKind::Warning,
                   "scan history: cannot keep it in %s (%s): scan numbers go on from the clock (and go back if it "
                   "does) and the history is kept in memory only\n",
                   dir.c_str(), problem.c_str());
        flushConsole();
    }
    return history;
}

std::unique_ptr<ScanOutbox> openOutbox(const std::string& dir) {
    std::string problem;
    auto outbox = ScanOutbox::open(dir, problem);
    if (!outbox) {
        consoleOut(LineKind::Warning, "MQTT outbox: cannot open the store in %s (%s); scans wait in memory only\n",
                   dir.c_str(), problem.c_str());
        flushConsole();
    }
    return outbox;
}

// The one serial scanner ended the relay by going away, not a stop: a set
// of scanners says so for itself.
bool aloneAndGone(const Options& options, int stop) {
    pollfd stopped{stop, POLLIN, 0};
    return options.devices.size() == 1 && options.devices.front().kind == ScannerKind::Serial &&
           poll(&stopped, 1, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ignoreBrokenPipes();
    const int stop = stopOnTermination();
    CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.verdict == CommandLineVerdict::Done) return 0;
    if (commandLine.verdict == CommandLineVerdict::Malformed) return kExitMalformedCommandLine;
    if (!readMqttCredentials(commandLine.options.mqtt)) return kExitMalformedCommandLine;
    if (!checkMqttTlsFiles(commandLine.options.mqtt)) return kExitMalformedCommandLine;
    const Options& options = commandLine.options;
    setLogLevel(options.log);
    std::string token;
    if (!options.tokenFile.empty()) {
        const auto read = readTokenFile(options.tokenFile);
        if (!read) return kExitMalformedCommandLine;
        token = *read;
    }
    if (options.mqtt.enabled() && !stateDirectoryUsable(options.mqtt.stateDir)) return kExitMalformedCommandLine;
    if (options.tls.enabled()) {
        if (!tlsFilesUsable(options.tls)) return kExitMalformedCommandLine;
        reserveHangupForTheServer();
    }

    const Console console;
    static RelayBuffers buffers;
    const StartupOutcome startup = runStartup(argc, argv, buffers, options);
    if (!startup.serve) return startup.exitStatus;

    const std::unique_ptr<ScanHistory> history = openHistory(options);
    warnIfStateDirectoryTooSmall(options.mqtt.stateDir, options.historyDepth,
                                 options.mqtt.enabled() ? options.mqtt.queueLimit : 0);
    std::optional<MqttPublisher> broker;
    if (options.mqtt.enabled()) broker.emplace(options.mqtt, openOutbox(options.mqtt.stateDir));
    ServiceStats stats({TIRN_VERSION, SelectEncoding, options.devices.front().path, options.scanGap, options.charsets.source(),
                        options.charsets.invalid == InvalidBytes::Replace ? "replace" : "stop", subscriberCount,
                        options.mqtt.url, broker ? std::function<BrokerFigures()>([&broker] { return broker->figures(); })
                                                 : std::function<BrokerFigures()>(),
                        options.devices, history.get()});
    const auto heartbeat = SystemdNotifier::heartbeat();
    KnownScanners known;
    for (const ScannerDevice& device : options.devices) known.push_back({device.label(), device.path});
    useScanners(known);
    ScanFeeds feeds(*history, known);
    ServerSettings server{options.bindAddress, options.port,
                          OriginPolicy(options.allowedOrigins, options.serverNames),
                          &stats, options.tls, token, heartbeat, clientCapacity()};
    server.content = &feeds;
    useHistory(history.get());
    const SystemdNotifier systemd(stats, options.port);
    websocket = nullptr;
    if (toStartSocetServers(server) < 0) consoleOut(LineKind::Chatter, "启动通讯服务失败，请检查\n");
    std::vector<ScanSink> sinks{[&history](const NumberedScan& scan) { publishToSubscribers(scan, *history); }};
    if (broker) sinks.push_back([&broker](const NumberedScan& scan) { broker->publish(scan); });
    const ScanFraming framing{options.scanGap, options.endOn, heartbeat, [&stats] { stats.relayAlive(); }, stop};
    const ScannerSettings scanning{options.devices, options.device, options.keyboard, options.charsets};
    const auto watch = [&stats](std::size_t index, bool connected, const std::string& name) {
        stats.scannerChanged(index, connected, name);
    };
    const std::unique_ptr<ScanSource> scanners = openScanners(scanning, buffers, framing, watch);
    if (!scanners) {
        shutDown(startup.originalUid);
        return kExitScannerUnavailable;
    }
    runRelayLoop(*scanners, *history, options.devices, sinks, stats);
    if (aloneAndGone(options, stop))
        consoleOut(LineKind::EventsOnly, "scanner %s is gone, the last one: the service ends\n",
                   options.device.c_str());
    const int status = shutDown(startup.originalUid);
    broker.reset();  // the queue's last scans and the offline status, before the console goes
    return status;
}
