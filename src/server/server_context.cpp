#include "server_context.h"

#include "console.h"
#include "service_stats.h"
#include "tls_context.h"
#include "websocket_session.h"

#include <boost/asio/post.hpp>

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <limits>
#include <utility>

namespace net = boost::asio;

namespace {

// Clients must never take the descriptors that the relay needs to reopen the
// scanner's port and to convert each scan, nor those of the server itself.
constexpr rlim_t kReservedDescriptors = 32;
constexpr auto kShutdownPoll = std::chrono::milliseconds(5);
constexpr auto kWriteProgressCheck = std::chrono::seconds(5);

// As many clients as the descriptors allow, less the reserve. The soft limit
// is raised to the hard one first: under a service manager it is often far
// lower, and nothing here is limited by descriptor numbers.
std::size_t connectionLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024 - kReservedDescriptors;
    if (files.rlim_cur < files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
    }
    if (files.rlim_cur <= kReservedDescriptors) return 1;
    return static_cast<std::size_t>(
        std::min<rlim_t>(files.rlim_cur - kReservedDescriptors, std::numeric_limits<std::size_t>::max()));
}

// Figures for a server started without any (tests of the server alone).
ServiceStats* ownStatsIfNone(ServiceStats* given) {
    static ServiceStats none({});
    return given ? given : &none;
}

}  // namespace

namespace server {

ConnectionSlot::ConnectionSlot(std::shared_ptr<Occupancy> occupancy) : occupancy_(std::move(occupancy)) {
    ++occupancy_->live;
}

ConnectionSlot::~ConnectionSlot() {
    if (!occupancy_) return;  // moved from
    --occupancy_->live;
    if (occupancy_->resume) std::exchange(occupancy_->resume, nullptr)();
}

}  // namespace server

WsContext::WsContext(const ServerSettings& settings) : settings_(settings), connectionLimit_(connectionLimit()) {
    settings_.stats = ownStatsIfNone(settings.stats);
    if (!settings_.tls.enabled()) return;
    std::string problem;
    tls_ = loadTlsContext(settings_.tls, problem);
    if (tls_)
        stats().certificateLoaded(certificateExpiry(*tls_));
    else
        printf("TLS: %s\n", problem.c_str());
}

void WsContext::reloadTlsOnHangup() {
    if (!settings_.tls.enabled()) return;
    hangups_.emplace(io, SIGHUP);
    // The rest of the service keeps SIGHUP blocked, so that it interrupts
    // no system call there; this thread takes it.
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
    waitForHangup();
}

void WsContext::waitForHangup() {
    hangups_->async_wait([this](boost::system::error_code ec, int) {
        if (ec) return;
        reloadTls();
        waitForHangup();
    });
}

void WsContext::reloadTls() {
    std::string problem;
    if (auto reloaded = loadTlsContext(settings_.tls, problem)) {
        tls_ = std::move(reloaded);
        stats().certificateLoaded(certificateExpiry(*tls_));
        printf("TLS: reloaded the certificate %s and key %s\n", settings_.tls.certificate.c_str(),
               settings_.tls.key.c_str());
    } else {
        printf("TLS: reload failed, keeping the certificate in use: %s\n", problem.c_str());
    }
    flushConsole();
}

void WsContext::adopt(std::shared_ptr<WsConnection> connection) {
    connections_.emplace(connection.get(), connection);
}

void WsContext::forget(WsConnection* connection) { connections_.erase(connection); }

void WsContext::queueSend(std::shared_ptr<WsConnection> connection, server::Outgoing message) {
    bool wakeServerThread;
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        wakeServerThread = pending_.empty();
        pending_.push_back(PendingSend{std::move(connection), std::move(message)});
    }
    if (wakeServerThread) net::post(io, [this] { deliverPendingSends(); });
}

void WsContext::deliverPendingSends() {
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        delivering_.swap(pending_);
    }
    for (auto& send : delivering_) send.connection->enqueue(std::move(send.message));
    delivering_.clear();
}

void WsContext::watchWriteProgress() {
    progressTimer_.expires_after(kWriteProgressCheck);
    progressTimer_.async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        const auto now = std::chrono::steady_clock::now();
        for (auto& entry : connections_)
            if (entry.second->writeStalled(now)) entry.second->drop(DropReason::TooSlow);
        watchWriteProgress();
    });
}

void WsContext::keepBeating() {
    stats().serverAlive();
    heartbeatTimer_.expires_after(settings_.heartbeat);
    heartbeatTimer_.async_wait([this](boost::system::error_code ec) {
        if (!ec) keepBeating();
    });
}

void WsContext::stopOnceSent(std::chrono::steady_clock::time_point deadline) {
    net::post(io, [this, deadline] {
        deliverPendingSends();
        if (!stillSending() || std::chrono::steady_clock::now() >= deadline) {
            io.stop();
            return;
        }
        shutdownTimer_.expires_after(kShutdownPoll);
        shutdownTimer_.async_wait([this, deadline](boost::system::error_code) { stopOnceSent(deadline); });
    });
}

bool WsContext::stillSending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& entry) { return entry.second->sending(); });
}

void WsContext::closeAll() {
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        pending_.clear();
    }
    occupancy_->resume = nullptr;  // the listener is gone
    for (auto& entry : connections_) entry.second->reportClosed();
    connections_.clear();
}
