#include "server_context.h"

#include "connection.h"
#include "direct_stream.h"
#include "tls_context.h"
#include "console/console.h"
#include "console/console_lines.h"

#include <boost/asio/post.hpp>

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <utility>

namespace net = boost::asio;

namespace {

constexpr auto kShutdownPoll = std::chrono::milliseconds(5);
// From how many clients of one message a second thread pays: below it, the
// two threads' contention in the kernel costs more than they share.
constexpr std::size_t kSendsWorthTwoThreads = 2048;
constexpr auto kWriteProgressCheck = std::chrono::seconds(5);
// Replays' turns run for a slice at a time, then the server thread rests
// (or serves whatever else comes): replays take at most a quarter of a
// core, in slices short enough that the threads of the live path, woken on
// its core meanwhile, wait little for it.
constexpr auto kReplaySlice = std::chrono::microseconds(125);
constexpr auto kReplayRest = std::chrono::microseconds(375);

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

Context::Context(const ServerSettings& settings, const Events& events) : settings_(settings), events_(events) {
    if (!settings_.tls.enabled()) return;
    std::string problem;
    tls_ = loadTlsContext(settings_.tls, problem);
    if (tls_)
        figures().certificateLoaded(certificateExpiry(*tls_));
    else
        consoleOut(LineKind::Error, "TLS: %s\n", problem.c_str());
}

void Context::reloadTlsOnHangup() {
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

void Context::waitForHangup() {
    hangups_->async_wait([this](boost::system::error_code ec, int) {
        if (ec) return;
        reloadTls();
        waitForHangup();
    });
}

void Context::reloadTls() {
    std::string problem;
    if (auto reloaded = loadTlsContext(settings_.tls, problem)) {
        tls_ = std::move(reloaded);
        figures().certificateLoaded(certificateExpiry(*tls_));
        consoleOut(LineKind::Event, "TLS: reloaded the certificate %s and key %s\n", settings_.tls.certificate.c_str(),
                   settings_.tls.key.c_str());
    } else {
        consoleOut(LineKind::Warning, "TLS: reload failed, keeping the certificate in use: %s\n", problem.c_str());
    }
    flushConsole();
}

void Context::adopt(std::shared_ptr<Connection> connection) {
    connections_.emplace(connection.get(), connection);
}

void Context::forget(Connection* connection) { connections_.erase(connection); }

void Context::queueSend(std::shared_ptr<Connection> connection, Outgoing message) {
    queue(PendingSend{std::move(message), {std::move(connection)}, {}, nullptr});
}

void Context::queueBroadcast(SharedText text, const std::vector<Connection*>& to) {
    PendingSend send{Outgoing{text, framed(*text, true), true}, {}, {}, nullptr};  // framed once for all
    send.to.reserve(to.size());
    for (Connection* connection : to) send.to.push_back(connection->shared_from_this());
    queue(std::move(send));
}

void Context::queueReplay(std::shared_ptr<Connection> connection, std::vector<SharedText> first,
                          std::shared_ptr<ReplaySource> rest) {
    queue(PendingSend{Outgoing{}, {std::move(connection)}, std::move(first), std::move(rest)});
}

void Context::queue(PendingSend send) {
    bool wakeServerThread;
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        wakeServerThread = pending_.empty();
        pending_.push_back(std::move(send));
    }
    if (wakeServerThread) net::post(io, [this] { deliverPendingSends(); });
}

void Context::deliverPendingSends() {
    if (inDelivery_) return;
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        if (pending_.empty()) return;
        delivering_.swap(pending_);
    }
    inDelivery_ = true;
    for (const PendingSend& send : delivering_) {
        if (!send.replay.empty() || send.rest) {
            for (const auto& connection : send.to) connection->replay(send.replay, send.rest);
            continue;
        }
        if (send.to.size() < kSendsWorthTwoThreads) {
            for (const auto& connection : send.to) connection->enqueue(send.message);
            continue;
        }
        // Each send is mostly the kernel's work, so with very many clients
        // half of them go out from a second thread: plain WebSocket clients
        // with odd numbers (whose writes never wait on this thread's loop)
        // from the helper, the rest from this one. Each client's
        // messages stay on one thread, in order, and nothing else runs here
        // until both halves are done.
        helper_.runBeside([&] { deliver(send, false); }, [&] { deliver(send, true); });
    }
    delivering_.clear();
    inDelivery_ = false;
}

void Context::queueReplayTurn(std::weak_ptr<Connection> connection) {
    replayTurns_.push_back(std::move(connection));
    if (turnsScheduled_) return;
    turnsScheduled_ = true;
    net::post(io, [this] { runReplayTurns(); });
}

void Context::runReplayTurns() {
    const auto sliceEnd = std::chrono::steady_clock::now() + kReplaySlice;
    while (!replayTurns_.empty() && std::chrono::steady_clock::now() < sliceEnd) {
        const auto connection = replayTurns_.front().lock();
        replayTurns_.pop_front();
        if (connection) connection->takeReplayTurn();
    }
    if (replayTurns_.empty()) {
        turnsScheduled_ = false;
        return;
    }
    replayRest_.expires_after(kReplayRest);
    replayRest_.async_wait([this](boost::system::error_code ec) {
        if (!ec) runReplayTurns();
    });
}

void Context::deliver(const PendingSend& send, bool helper) {
    for (const auto& connection : send.to)
        if ((!connection->encrypted() && !connection->eventStream() && connection->id() % 2 == 1) == helper)
            connection->enqueue(send.message);
}

void Context::watchWriteProgress() {
    progressTimer_.expires_after(std::min<std::chrono::milliseconds>(kWriteProgressCheck, settings_.stallTimeout / 2));
    progressTimer_.async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        const auto now = std::chrono::steady_clock::now();
        for (auto& entry : connections_)
            if (entry.second->writeStalled(now)) entry.second->drop(DropReason::TooSlow);
        watchWriteProgress();
    });
}

void Context::keepBeating() {
    figures().serverAlive();
    if (events_.beat) events_.beat();
    heartbeatTimer_.expires_after(settings_.heartbeat);
    heartbeatTimer_.async_wait([this](boost::system::error_code ec) {
        if (!ec) keepBeating();
    });
}

void Context::stopOnceSent(std::chrono::steady_clock::time_point deadline) {
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

bool Context::stillSending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& entry) { return entry.second->sending(); });
}

void Context::closeAll() {
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        pending_.clear();
    }
    occupancy_->resume = nullptr;  // the listener is gone
    for (auto& entry : connections_) entry.second->reportClosed();
    connections_.clear();
}

}  // namespace server
