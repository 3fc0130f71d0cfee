#include "service/service_stats.h"

#include "publication/subscriber_list.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

const char* const kDropReasonNames[] = {"too_slow", "unanswered_pings", "oversized", "invalid", "unauthorized"};

std::int64_t epochMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// 2026-12-06T20:19:21.123Z, or null for none (no scan yet, no certificate).
cJSON* timeOrNull(std::int64_t epochMs) {
    if (epochMs == 0) return cJSON_CreateNull();
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(epochMs % 1000));
    return cJSON_CreateString(text);
}

// A label value as the exposition format wants it.
std::string labelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

class Exposition {
public:
    void metric(const char* name, const char* type, const char* help, double value, const std::string& labels = "") {
        header(name, type, help);
        sample(name, value, labels);
    }
    void header(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char* name, double value, const std::string& labels = "") {
        char number[32];
        snprintf(number, sizeof number, "%.15g", value);
        text_ += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
    }
    std::string text() && { return std::move(text_); }

private:
    std::string text_;
};

// Every family that tells of one scanner labels it so, as --device names it.
std::string deviceLabel(const std::string& path) { return "device=\"" + labelValue(path) + "\""; }

// Numbers whole: cJSON would print a large one through a double.
void addWhole(cJSON* object, const char* name, std::uint64_t value) {
    cJSON_AddRawToObject(object, name, std::to_string(value).c_str());
}

void addHistoryStatus(cJSON* root, const ScanHistory& history) {
    addWhole(root, "last_seq", history.last());
    cJSON* kept = cJSON_AddObjectToObject(root, "history");
    addWhole(kept, "depth", history.depth());
    addWhole(kept, "scans", history.kept());
    addWhole(kept, "oldest_seq", history.oldest());
}

void historyMetrics(Exposition& out, const ScanHistory& history) {
    out.metric("tirnserial_scan_last_seq", "gauge",
               "Number of the last scan; before this run's first, the highest an earlier run may have given.",
               static_cast<double>(history.last()));
    out.metric("tirnserial_history_depth", "gauge", "Scans the history may keep (--history).",
               static_cast<double>(history.depth()));
    out.metric("tirnserial_history_scans", "gauge", "Scans the history keeps now.",
               static_cast<double>(history.kept()));
    out.metric("tirnserial_history_oldest_seq", "gauge", "Number of the oldest scan kept; 0 when none is.",
               static_cast<double>(history.oldest()));
}

// The scanner label beside the path: what the scans carry, so a dashboard
// can join the two; the path stays, as existing queries select on it.
std::string scannerLabels(const ScannerDevice& device) {
    return deviceLabel(device.path) + ",kind=\"" + scannerKindName(device.kind) + "\",scanner=\"" +
           labelValue(device.label()) + "\"";
}

void scannerMetrics(Exposition& out, const std::vector<ScannerDevice>& devices,
                    const std::vector<ScannerFigures>& figures) {
    out.header("tirnserial_scanner_connected", "gauge", "1 while the scanner is there, by its device.");
    for (std::size_t i = 0; i < figures.size(); ++i)
        out.sample("tirnserial_scanner_connected", figures[i].connected, scannerLabels(devices[i]));
    out.header("tirnserial_scanner_scans_total", "counter", "Scans published, by the scanner they came from.");
    for (std::size_t i = 0; i < figures.size(); ++i)
        out.sample("tirnserial_scanner_scans_total", static_cast<double>(figures[i].scans), scannerLabels(devices[i]));
}

}  // namespace

ServiceStats::ServiceStats(Facts facts) : facts_(std::move(facts)), scanners_(facts_.devices.size()) {}

void ServiceStats::scanRelayed(const Scan& scan) {
    ++scans_;
    if (scan.replaced) ++scansWithReplacements_;
    if (scan.cutAt) ++scansCutShort_;
    bytesRead_ += scan.rawLength;
    lastScanMs_ = epochMilliseconds();
    std::lock_guard<std::mutex> lock(scannersGuard_);
    if (scan.device < scanners_.size()) ++scanners_[scan.device].scans;
}

void ServiceStats::scannerChanged(std::size_t device, bool connected, const std::string& name) {
    std::lock_guard<std::mutex> lock(scannersGuard_);
    if (device >= scanners_.size()) return;
    scanners_[device].connected = connected;
    if (connected) scanners_[device].name = name;
}

void ServiceStats::clientDropped(DropReason reason) { ++dropped_[static_cast<int>(reason)]; }

double ServiceStats::uptimeSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void ServiceStats::listenOutcome(const std::string& problem) {
    std::lock_guard<std::mutex> lock(listenGuard_);
    listenProblem_ = problem;
}

std::optional<std::string> ServiceStats::listenProblem() const {
    std::lock_guard<std::mutex> lock(listenGuard_);
    return listenProblem_;
}

std::optional<std::int64_t> ServiceStats::lastScanAgeSeconds() const {
    const std::int64_t last = lastScanMs_;
    if (last == 0) return std::nullopt;
    return std::max<std::int64_t>(0, (epochMilliseconds() - last) / 1000);
}

std::string ServiceStats::statusJson() const {
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> status(cJSON_CreateObject(), cJSON_Delete);
    cJSON* root = status.get();
    cJSON_AddStringToObject(root, "version", facts_.version.c_str());
    cJSON_AddNumberToObject(root, "mode", facts_.mode);
    cJSON_AddStringToObject(root, "device", facts_.device.c_str());
    cJSON_AddNumberToObject(root, "scan_gap_ms", static_cast<double>(facts_.scanGap.count()));
    cJSON_AddStringToObject(root, "charset", facts_.charset.c_str());
    cJSON_AddStringToObject(root, "invalid_bytes", facts_.invalidBytes.c_str());
    cJSON_AddNumberToObject(root, "uptime_seconds", static_cast<double>(static_cast<std::int64_t>(uptimeSeconds())));
    cJSON_AddNumberToObject(root, "scans_relayed", static_cast<double>(scans_.load()));
    cJSON_AddNumberToObject(root, "bytes_read", static_cast<double>(bytesRead_.load()));
    cJSON_AddNumberToObject(root, "scans_with_replaced_bytes", static_cast<double>(scansWithReplacements_.load()));
    cJSON_AddNumberToObject(root, "scans_cut_short", static_cast<double>(scansCutShort_.load()));
    cJSON_AddItemToObject(root, "last_scan", timeOrNull(lastScanMs_.load()));
    cJSON_AddNumberToObject(root, "clients_connected", static_cast<double>(clientsConnected_.load()));
    cJSON_AddNumberToObject(root, "subscriptions",
                            static_cast<double>(facts_.subscriptions ? facts_.subscriptions() : 0));
    const ResumeFigures resuming = resumeFigures();
    cJSON_AddNumberToObject(root, "numbered_clients", static_cast<double>(resuming.numberedClients));
    cJSON_AddNumberToObject(root, "scans_replayed", static_cast<double>(resuming.replayed));
    cJSON_AddNumberToObject(root, "missed_notices", static_cast<double>(resuming.missedNotices));
    cJSON* scanners = cJSON_AddArrayToObject(root, "devices");
    {
        std::lock_guard<std::mutex> lock(scannersGuard_);
        for (std::size_t i = 0; i < scanners_.size(); ++i) {
            cJSON* scanner = cJSON_CreateObject();
            cJSON_AddStringToObject(scanner, "kind", scannerKindName(facts_.devices[i].kind));
            cJSON_AddStringToObject(scanner, "path", facts_.devices[i].path.c_str());
            cJSON_AddStringToObject(scanner, "name", scanners_[i].name.c_str());
            cJSON_AddStringToObject(scanner, "scanner", facts_.devices[i].label().c_str());
            cJSON_AddBoolToObject(scanner, "aim", facts_.devices[i].aimIds);
            cJSON_AddBoolToObject(scanner, "gs1", facts_.devices[i].gs1);
            cJSON_AddBoolToObject(scanner, "connected", scanners_[i].connected);
            cJSON_AddNumberToObject(scanner, "scans", static_cast<double>(scanners_[i].scans));
            cJSON_AddItemToArray(scanners, scanner);
        }
    }
    if (facts_.history != nullptr) addHistoryStatus(root, *facts_.history);
    cJSON* dropped = cJSON_AddObjectToObject(root, "clients_dropped");
    for (int reason = 0; reason < kDropReasons; ++reason)
        cJSON_AddNumberToObject(dropped, kDropReasonNames[reason], static_cast<double>(dropped_[reason].load()));
    if (facts_.brokerFigures) {
        const BrokerFigures broker = facts_.brokerFigures();
        cJSON* mqtt = cJSON_AddObjectToObject(root, "mqtt");
        cJSON_AddStringToObject(mqtt, "broker", facts_.broker.c_str());
        cJSON_AddBoolToObject(mqtt, "connected", broker.connected);
        cJSON_AddNumberToObject(mqtt, "published", static_cast<double>(broker.published));
        cJSON_AddNumberToObject(mqtt, "queued", static_cast<double>(broker.queued));
        cJSON_AddNumberToObject(mqtt, "dropped", static_cast<double>(broker.dropped));
        cJSON_AddNumberToObject(mqtt, "oldest_queued_age_seconds", broker.oldestAgeSeconds);
        cJSON_AddNumberToObject(mqtt, "stored", static_cast<double>(broker.stored));
        cJSON_AddNumberToObject(mqtt, "disk_errors", static_cast<double>(broker.diskErrors));
        cJSON_AddNumberToObject(mqtt, "last_seq", static_cast<double>(broker.lastSeq));
        cJSON_AddNumberToObject(mqtt, "refused", static_cast<double>(broker.refused));
        cJSON_AddNumberToObject(mqtt, "rejected", static_cast<double>(broker.rejected));
    } else {
        cJSON_AddNullToObject(root, "mqtt");
    }
    const std::int64_t expiry = certificateExpiry_.load();
    cJSON_AddBoolToObject(root, "tls", expiry != 0);
    cJSON_AddItemToObject(root, "certificate_expires", timeOrNull(expiry * 1000));
    char* printed = cJSON_Print(root);
    if (printed == nullptr) return "{}";
    std::string text(printed);
    free(printed);
    return text + "\n";
}

std::string ServiceStats::metricsText() const {
    Exposition out;
    out.metric("tirnserial_build_info", "gauge", "Version, conversion mode and scanner device of this service.", 1,
               "version=\"" + labelValue(facts_.version) + "\",mode=\"" + std::to_string(facts_.mode) + "\"," +
                   deviceLabel(facts_.device) + ",charset=\"" + labelValue(facts_.charset) +
                   "\",invalid_bytes=\"" + labelValue(facts_.invalidBytes) + "\"");
    out.metric("tirnserial_scan_gap_seconds", "gauge", "Silence that ends a scan.",
               static_cast<double>(facts_.scanGap.count()) / 1000);
    out.metric("tirnserial_start_time_seconds", "gauge", "When the service started, in seconds since the epoch.",
               static_cast<double>(startedMs_) / 1000);
    out.metric("tirnserial_scans_relayed_total", "counter", "Scans read from the scanner and published.",
               static_cast<double>(scans_.load()));
    out.metric("tirnserial_scan_read_bytes_total", "counter", "Bytes of scans read from the scanner.",
               static_cast<double>(bytesRead_.load()));
    out.metric("tirnserial_scans_with_replaced_bytes_total", "counter",
               "Scans in which bytes the charset rejects were replaced (--invalid replace).",
               static_cast<double>(scansWithReplacements_.load()));
    out.metric("tirnserial_scans_cut_short_total", "counter",
               "Scans whose text ended at bytes the charset rejects, or at a character cut off (--invalid stop).",
               static_cast<double>(scansCutShort_.load()));
    out.metric("tirnserial_last_scan_timestamp_seconds", "gauge",
               "When the last scan was published, in seconds since the epoch; 0 before the first.",
               static_cast<double>(lastScanMs_.load()) / 1000);
    out.metric("tirnserial_clients_connected", "gauge", "WebSocket clients connected now.",
               static_cast<double>(clientsConnected_.load()));
    out.metric("tirnserial_subscriptions", "gauge", "Entries in the subscriber list now.",
               static_cast<double>(facts_.subscriptions ? facts_.subscriptions() : 0));
    const ResumeFigures resuming = resumeFigures();
    out.metric("tirnserial_numbered_clients", "gauge",
               "Clients of numbered scans now: WebSocket clients that asked with since=, and event streams.",
               static_cast<double>(resuming.numberedClients));
    out.metric("tirnserial_scans_replayed_total", "counter", "Scans sent from the history to clients resuming.",
               static_cast<double>(resuming.replayed));
    out.metric("tirnserial_missed_notices_total", "counter",
               "SCANS_MISSED notices sent: scans a client resuming could no longer have, or a number not ours.",
               static_cast<double>(resuming.missedNotices));
    out.header("tirnserial_clients_dropped_total", "counter", "WebSocket clients the service dropped, by reason.");
    for (int reason = 0; reason < kDropReasons; ++reason)
        out.sample("tirnserial_clients_dropped_total", static_cast<double>(dropped_[reason].load()),
                   std::string("reason=\"") + kDropReasonNames[reason] + "\"");
    {
        std::lock_guard<std::mutex> lock(scannersGuard_);
        scannerMetrics(out, facts_.devices, scanners_);
    }
    if (facts_.history != nullptr) historyMetrics(out, *facts_.history);
    if (facts_.brokerFigures) {
        const BrokerFigures broker = facts_.brokerFigures();
        out.metric("tirnserial_mqtt_connected", "gauge", "1 while connected to the MQTT broker.", broker.connected);
        out.metric("tirnserial_mqtt_published_total", "counter", "Scans the MQTT broker has taken.",
                   static_cast<double>(broker.published));
        out.metric("tirnserial_mqtt_queued", "gauge", "Scans waiting for the MQTT broker.",
                   static_cast<double>(broker.queued));
        out.metric("tirnserial_mqtt_dropped_total", "counter",
                   "Scans dropped, the oldest first, while the MQTT queue was full.",
                   static_cast<double>(broker.dropped));
        out.metric("tirnserial_mqtt_oldest_queued_age_seconds", "gauge",
                   "Age of the oldest scan waiting for the MQTT broker; 0 when none waits.", broker.oldestAgeSeconds);
        out.metric("tirnserial_mqtt_stored_total", "counter", "Scans written to the outbox on disk.",
                   static_cast<double>(broker.stored));
        out.metric("tirnserial_mqtt_disk_errors_total", "counter",
                   "Scans the outbox on disk could not take (kept in memory), and failed removals.",
                   static_cast<double>(broker.diskErrors));
        out.metric("tirnserial_mqtt_last_seq", "gauge", "Sequence number of the scan last published to the broker.",
                   static_cast<double>(broker.lastSeq));
        out.metric("tirnserial_mqtt_refused_total", "counter",
                   "Publishes the MQTT broker refused (each offer counted); the scans wait and are offered again.",
                   static_cast<double>(broker.refused));
        out.metric("tirnserial_mqtt_rejected_total", "counter",
                   "Scans larger than the MQTT broker takes, dropped.", static_cast<double>(broker.rejected));
    }
    if (const std::int64_t expiry = certificateExpiry_.load(); expiry != 0)
        out.metric("tirnserial_tls_certificate_expiry_timestamp_seconds", "gauge",
                   "When the certificate served over TLS expires, in seconds since the epoch.",
                   static_cast<double>(expiry));
    return std::move(out).text();
}
