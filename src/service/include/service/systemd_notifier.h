// Tells systemd how the service is, through its notification socket
// (sd_notify): ready once the port listens or the first attempt to listen
// failed, a status line with the figures an admin wants at a glance, and
// watchdog pings for as long as the relay loop and the server thread both
// make progress, so that a hung service is restarted. Without
// NOTIFY_SOCKET (not under systemd) it does nothing.
#pragma once

#include "service/service_stats.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class SystemdNotifier {
public:
    SystemdNotifier(const ServiceStats& stats, unsigned short port);
    // Says the service is stopping.
    ~SystemdNotifier();
    SystemdNotifier(const SystemdNotifier&) = delete;
    SystemdNotifier& operator=(const SystemdNotifier&) = delete;

    // How often the relay loop and the server thread must show they are
    // alive: a quarter of the watchdog's period, at most a second.
    static std::chrono::milliseconds heartbeat();

private:
    void run();
    void tell(const std::string& state) const;
    std::string statusLine() const;

    const ServiceStats& stats_;
    const unsigned short port_;
    const std::chrono::microseconds watchdog_;  // 0: no watchdog
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
