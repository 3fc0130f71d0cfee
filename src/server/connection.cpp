#include "connection.h"

#include <atomic>

namespace server {

namespace {

std::atomic<int> nextConnectionId{1};

// Behind a replay, how many live messages may wait for a client beside it:
// as many as may wait in its queue at once.
constexpr std::size_t kHeldBeyondReplay = kMaxQueuedMessages;

}  // namespace

Connection::Connection(Context& context, std::string query, std::string lastEventId)
    : context_(context), query_(std::move(query)), lastEventId_(std::move(lastEventId)), id_(nextConnectionId++) {}

void Connection::enqueue(const Outgoing& message) {
    if (!open()) return;
    if (!held_) return write(message);
    if (held_->live.size() >= kHeldBeyondReplay) return drop(DropReason::TooSlow);
    held_->live.push_back(message);
}

void Connection::replay(const std::vector<SharedText>& first, const std::shared_ptr<ReplaySource>& rest) {
    if (!open()) return;
    if (!held_) held_ = std::make_unique<Held>();
    held_->replay.insert(held_->replay.end(), first.begin(), first.end());
    if (rest) held_->rest = rest;
    feedLater();
}

void Connection::takeReplayTurn() {
    feedPosted_ = false;
    if (held_) context_.deliverPendingSends();
    gatherWrites(true);
    writeHeldTurn();
    gatherWrites(false);
    if (!open()) held_.reset();
}

void Connection::writeHeldTurn() {
    for (std::size_t written = 0; held_ && open() && wantsMore(); ++written) {
        if (written == kReplayTurn) return feedLater();
        // Taken out before it is written: the write may drop the client.
        if (const std::optional<Outgoing> next = nextHeld()) write(*next);
    }
}

std::optional<Outgoing> Connection::nextHeld() {
    Held& held = *held_;
    if (held.replay.empty() && held.rest) {
        for (SharedText& message : held.rest->next(kReplayTurn)) held.replay.push_back(std::move(message));
        if (held.replay.empty()) held.rest.reset();
    }
    std::optional<Outgoing> next;
    if (!held.replay.empty()) {
        next = Outgoing{std::move(held.replay.front()), nullptr, true};
        held.replay.pop_front();
    } else if (!held.live.empty()) {
        next = std::move(held.live.front());
        held.live.pop_front();
    }
    if (held.replay.empty() && !held.rest && held.live.empty()) held_.reset();
    return next;
}

void Connection::feedLater() {
    if (feedPosted_) return;
    feedPosted_ = true;
    context_.queueReplayTurn(weak_from_this());
}

}  // namespace server
