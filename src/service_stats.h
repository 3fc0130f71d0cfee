// What the service has done since it started, for /status and /metrics.
// Written by the relay and the server thread, read by the server thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scanner_device.h"

// How publishing to an MQTT broker goes.
struct BrokerFigures {
    bool connected = false;
    std::uint64_t published = 0;
    std::size_t queued = 0;
    std::uint64_t dropped = 0;  // the oldest, when the queue was full
    // The outbox on disk.
    std::uint64_t stored = 0;       // scans written to it
    std::uint64_t diskErrors = 0;   // scans it could not take, and failed removals
    double oldestAgeSeconds = 0;    // of the oldest scan waiting; 0 when none waits
    std::uint64_t lastSeq = 0;      // the sequence number last published; 0: none yet
    std::uint64_t refused = 0;      // publishes the broker refused (each offer); the scans wait
    std::uint64_t rejected = 0;     // scans larger than the broker takes, dropped
};

// How one scanner does.
struct ScannerFigures {
    std::string name;  // what the device calls itself, if it says
    bool connected = true;
    std::uint64_t scans = 0;
};

// Why the server dropped a client.
enum class DropReason { TooSlow, UnansweredPings, Oversized, Invalid, Unauthorized };
constexpr int kDropReasons = 5;

class ServiceStats {
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
    };

    explicit ServiceStats(Facts facts);

    // A scan from the scanner with this index published.
    void scanRelayed(std::size_t bytesRead, bool replacedBytes, std::size_t device = 0);
    // A scanner opened (with the name it gives itself) or gone.
    void scannerChanged(std::size_t device, bool connected, const std::string& name = "");
    void clientOpened() { ++clientsConnected_; }
    void clientClosed() { --clientsConnected_; }
    void clientDropped(DropReason reason);
    // The certificate now served expires then (seconds since the epoch).
    void certificateLoaded(std::int64_t notAfter) { certificateExpiry_ = notAfter; }

    // Liveness, for the service manager's watchdog: the relay loop and the
    // server thread each count up while they make progress.
    void relayAlive() { ++relayBeats_; }
    void serverAlive() { ++serverBeats_; }
    std::uint64_t relayBeats() const { return relayBeats_; }
    std::uint64_t serverBeats() const { return serverBeats_; }
    // Whether the port listens: empty once it does, else the system's
    // reason; nothing before the first attempt.
    void listenOutcome(const std::string& problem);
    std::optional<std::string> listenProblem() const;
    std::int64_t clientsConnected() const { return clientsConnected_; }
    std::uint64_t scansRelayed() const { return scans_; }
    // Seconds since the last scan; nothing before the first.
    std::optional<std::int64_t> lastScanAgeSeconds() const;

    // A JSON object, indented.
    std::string statusJson() const;
    // Prometheus' text exposition format.
    std::string metricsText() const;

private:
    double uptimeSeconds() const;

    const Facts facts_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<std::uint64_t> scans_{0};
    std::atomic<std::uint64_t> bytesRead_{0};
    std::atomic<std::uint64_t> scansWithReplacements_{0};
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
