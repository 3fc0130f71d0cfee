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
    if (held_->size() >= heldLimit_) return drop(DropReason::TooSlow);
    held_->push_back(message);
}

void Connection::replay(const std::vector<SharedText>& messages) {
    if (!open()) return;
    if (messages.empty()) return;
    if (!held_) held_.emplace();
    for (const SharedText& message : messages) held_->push_back(Outgoing{message, nullptr, true});
    heldLimit_ = held_->size() + kHeldBeyondReplay;
    feedHeld();
}

void Connection::feedHeld() {
    while (held_ && open() && wantsMore()) {
        const Outgoing next = std::move(held_->front());
        held_->pop_front();
        if (held_->empty()) held_.reset();
        write(next);
    }
    if (!open()) held_.reset();
}

}  // namespace server
