// What the service has done since it started, for /status and /metrics.
// Written by the relay and the server thread, read by the server thread.
#pragma once

#include "fleet/broker_figures.h"
#include "history/scan_history.h"
#include "scanners/scan_source.h"
#include "scanners/scanner_device.h"
#include "server/server_figures.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// How one scanner does.
struct ScannerFigures {
    std::string name;  // what the device calls itself, if it says
    bool connected = true;
    std::uint64_t scans = 0;
};

class ServiceStats : public ServerFigures {
public:
    struct Facts {
        std::string version;
        int mode = 0;
        std::string device;
        std::chrono::milliseconds scanGap{0};
        std::string charset;         // the scanner's
        std::string invalidBytes;    // stop or replace
        // The subscriber list's entries, counted when asked.
        std::function<std::size_t()> subscriptions;
        std::string broker;  // empty: no MQTT
        std::function<BrokerFigures()> brokerFigures;
        std::vector<ScannerDevice> devices;  // the scanners, by their index in scans
        const ScanHistory* history = nullptr;  // the numbers and the kept scans; none: no figures of them
    };

    explicit ServiceStats(Facts facts);

    // A scan published (from the scanner its index names).
    void scanRelayed(const Scan& scan);
    // A scanner opened (with the name it gives itself) or gone.
    void scannerChanged(std::size_t device, bool connected, const std::string& name = "");
    void clientOpened() override { ++clientsConnected_; }
    void clientClosed() override { --clientsConnected_; }
    void clientDropped(DropReason reason) override;
    // The certificate now served expires then (seconds since the epoch).
    void certificateLoaded(std::int64_t notAfter) override { certificateExpiry_ = notAfter; }

    // Liveness, for the service manager's watchdog: the relay loop and the
    // server thread each count up while they make progress.
    void relayAlive() { ++relayBeats_; }
    void serverAlive() override { ++serverBeats_; }
    std::uint64_t relayBeats() const { return relayBeats_; }
    std::uint64_t serverBeats() const { return serverBeats_; }
    // Whether the port listens: empty once it does, else the system's
    // reason; nothing before the first attempt.
    void listenOutcome(const std::string& problem) override;
    std::optional<std::string> listenProblem() const;
    std::int64_t clientsConnected() const { return clientsConnected_; }
    std::uint64_t scansRelayed() const { return scans_; }
    // Seconds since the last scan; nothing before the first.
    std::optional<std::int64_t> lastScanAgeSeconds() const;

    // A JSON object, indented.
    std::string statusJson() const override;
    // Prometheus' text exposition format.
    std::string metricsText() const override;

private:
    double uptimeSeconds() const;

    const Facts facts_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    // For /metrics: Prometheus derives the uptime from it, and sees a restart.
    const std::int64_t startedMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    std::atomic<std::uint64_t> scans_{0};
    std::atomic<std::uint64_t> bytesRead_{0};
    std::atomic<std::uint64_t> scansWithReplacements_{0};
    std::atomic<std::uint64_t> scansCutShort_{0};
    std::atomic<std::int64_t> lastScanMs_{0};  // since the epoch; 0: none yet
    std::atomic<std::int64_t> clientsConnected_{0};
    std::atomic<std::uint64_t> dropped_[kDropReasons] = {};
    std::atomic<std::int64_t> certificateExpiry_{0};  // 0: plain connections
    std::atomic<std::uint64_t> relayBeats_{0};
    std::atomic<std::uint64_t> serverBeats_{0};
    mutable std::mutex listenGuard_;
    std::optional<std::string> listenProblem_;
    mutable std::mutex scannersGuard_;
    std::vector<ScannerFigures> scanners_;
};
