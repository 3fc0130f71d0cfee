#include "service/systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// Before the service is ready, how soon it says so.
constexpr auto kReadinessCheck = std::chrono::milliseconds(20);
// Without a watchdog, how often the status line is brought up to date.
constexpr auto kStatusInterval = std::chrono::seconds(5);

std::chrono::microseconds watchdogPeriod() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec);
}

}  // namespace

std::chrono::milliseconds SystemdNotifier::heartbeat() {
    const auto period = watchdogPeriod();
    if (period.count() == 0) return std::chrono::seconds(1);
    return std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(period / 4), std::chrono::milliseconds(10),
                      std::chrono::milliseconds(1000));
}

SystemdNotifier::SystemdNotifier(const ServiceStats& stats, unsigned short port)
    : stats_(stats), port_(port), watchdog_(watchdogPeriod()) {
    const char* socket = getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') return;
    thread_ = std::thread([this] { run(); });
}

SystemdNotifier::~SystemdNotifier() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    tell("STOPPING=1\nSTATUS=stopping");
}

void SystemdNotifier::tell(const std::string& state) const { sd_notify(0, state.c_str()); }

std::string SystemdNotifier::statusLine() const {
    const auto problem = stats_.listenProblem();
    if (problem && !problem->empty())
        return "relaying; port " + std::to_string(port_) + " not listening: " + *problem + "; retrying";
    std::string line = "relaying; " + std::to_string(stats_.clientsConnected()) + " clients; " +
                       std::to_string(stats_.scansRelayed()) + " scans";
    if (const auto age = stats_.lastScanAgeSeconds()) line += "; last scan " + std::to_string(*age) + " s ago";
    return line;
}

// Pings only when both the relay loop and the server thread have counted
// up since the last one: either of them stuck, and systemd hears nothing.
void SystemdNotifier::run() {
    const auto tick = watchdog_.count() > 0
                          ? std::min<std::chrono::microseconds>(watchdog_ / 3, kStatusInterval)
                          : std::chrono::microseconds(kStatusInterval);
    bool ready = false;
    std::uint64_t relaySeen = 0, serverSeen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!ready && stats_.listenProblem()) {
            tell("READY=1\nSTATUS=" + statusLine());
            ready = true;
        } else if (ready) {
            std::string state = "STATUS=" + statusLine();
            const std::uint64_t relay = stats_.relayBeats(), server = stats_.serverBeats();
            if (watchdog_.count() > 0 && relay != relaySeen && server != serverSeen) {
                state += "\nWATCHDOG=1";
                relaySeen = relay;
                serverSeen = server;
            }
            tell(state);
        }
        wake_.wait_for(lock, ready ? tick : std::chrono::duration_cast<std::chrono::microseconds>(kReadinessCheck));
    }
}
