#include "server/server.h"

#include "direct_stream.h"
#include "listener.h"
#include "server_context.h"
#include "websocket_session.h"
#include "console/console.h"
#include "console/console.h"
#include "console/console_lines.h"

#include <openssl/crypto.h>

#include <utility>

namespace server {

namespace {

constexpr auto kListenRetry = std::chrono::milliseconds(2000);

}  // namespace

int connectionId(const Connection& connection) { return connection.id(); }
bool encrypted(const Connection& connection) { return connection.encrypted(); }
bool makeNonBlocking(Connection& connection) { return connection.makeNonBlocking(); }
bool eventStream(const Connection& connection) { return connection.eventStream(); }
const std::string& openingQuery(const Connection& connection) { return connection.query(); }
const std::string& lastEventId(const Connection& connection) { return connection.lastEventId(); }

Server::Server(ServerSettings settings, Events events) : settings_(std::move(settings)), events_(std::move(events)) {}

Server::~Server() { stop(std::chrono::milliseconds(0)); }

bool Server::serve(const std::function<void()>& starting) {
    {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (serving_ || stopRequested_) return true;
        release();  // what an earlier serve() that could not listen left
        serving_ = true;
        context_ = new Context(settings_, events_);
    }
    if (starting) starting();
    listener_ = new Listener(*context_, settings_.address, settings_.port);
    const bool served = context_->tlsReady();
    if (!served) {
        if (events_.notListening) events_.notListening();
    } else {
        listen();
        context_->watchWriteProgress();
        context_->keepBeating();
        context_->reloadTlsOnHangup();
        flushConsole();
        context_->io.run();
    }
    flushConsole();
    // OpenSSL keeps state for each thread that used it (its random
    // generators, for one) and frees it when the thread ends. A detached
    // serving thread may still be ending when the process exits, after
    // OpenSSL's own clean-up: freed here, it can never be left behind.
    OPENSSL_thread_stop();
    std::lock_guard<std::mutex> lock(lifecycle_);
    serving_ = false;
    servingDone_.notify_all();
    return served;
}

// A port that cannot listen yet (its address not up at boot, another
// program on it) is tried again quietly until it can: scans are relayed
// meanwhile, and clients find the port as soon as it listens.
void Server::listen() {
    const std::string where = settings_.address + " port " + std::to_string(settings_.port);
    if (listener_->isOk()) {
        context_->figures().listenOutcome("");
        consoleOut(LineKind::EventsOnly, "listening on %s\n", where.c_str());
        listener_->acceptNext();
        return;
    }
    const std::string problem = listener_->error().message();
    context_->figures().listenOutcome(problem);
    if (events_.notListening) events_.notListening();
    consoleOut(LineKind::Warning, "cannot listen on %s: %s; trying again every %d s\n", where.c_str(), problem.c_str(),
               static_cast<int>(kListenRetry.count() / 1000));
    listener_->retryEvery(kListenRetry, [this, where] {
        context_->figures().listenOutcome("");
        consoleOut(LineKind::Event, "listening on %s now\n", where.c_str());
        flushConsole();
    });
}

void Server::broadcast(SharedText text, const std::vector<Connection*>& to) {
    if (to.empty()) return;
    // Every connection named here is open, so its server still serves.
    to.front()->context().queueBroadcast(std::move(text), to);
}

void Server::send(Connection& connection, SharedText bytes, bool text) {
    // A TLS client's stream frames for itself; only a plain one takes the frame.
    const SharedText frame = connection.encrypted() ? nullptr : framed(*bytes, text);
    connection.context().queueSend(connection.shared_from_this(), Outgoing{std::move(bytes), frame, text});
}

void Server::replay(Connection& connection, std::vector<SharedText> first, std::shared_ptr<ReplaySource> rest) {
    if (first.empty() && !rest) return;
    connection.context().queueReplay(connection.shared_from_this(), std::move(first), std::move(rest));
}

void Server::stop(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(lifecycle_);
    stopRequested_ = true;
    if (serving_) {
        context_->stopOnceSent(std::chrono::steady_clock::now() + patience);
        servingDone_.wait(lock, [this] { return !serving_; });
    }
    release();
}

void Server::release() {
    delete listener_;
    listener_ = nullptr;
    if (context_ != nullptr) context_->closeAll();
    delete context_;
    context_ = nullptr;
}

}  // namespace server
