// What the server tells of itself, and what it shows at /status and
// /metrics. The service keeps the figures; the server only reports to them
// and asks them for the pages, so that it knows nothing of scans, scanners
// or brokers. Each call comes from the server thread. Every member does
// nothing by default: a server nobody watches needs no figures of its own.
#pragma once

#include <cstdint>
#include <string>

// Why the server dropped a client.
enum class DropReason { TooSlow, UnansweredPings, Oversized, Invalid, Unauthorized };
constexpr int kDropReasons = 5;

class ServerFigures {
public:
    virtual ~ServerFigures() = default;

    virtual void clientOpened() {}
    virtual void clientClosed() {}
    virtual void clientDropped(DropReason) {}
    // The certificate now served expires then (seconds since the epoch).
    virtual void certificateLoaded(std::int64_t /*notAfter*/) {}
    // The server thread makes progress (for the service manager's watchdog).
    virtual void serverAlive() {}
    // Whether the port listens: empty once it does, else the system's reason.
    virtual void listenOutcome(const std::string& /*problem*/) {}

    // The /status page: a JSON object.
    virtual std::string statusJson() const { return "{}\n"; }
    // The /metrics page: Prometheus' text exposition format.
    virtual std::string metricsText() const { return ""; }
};
