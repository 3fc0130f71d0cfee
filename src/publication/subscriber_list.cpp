#include "publication/subscriber_list.h"

#include "console/console_lines.h"
#include "publication/server_thread.h"
#include "resume_messages.h"
#include "resume_point.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Non-owning: the server owns the connections. One connection may stand
// here several times.
std::vector<WsConnection*> g_conn_list;
// Clients of numbered scans, once each: WebSocket clients and event streams.
std::vector<WsConnection*> g_numbered;
std::vector<WsConnection*> g_streams;
// WebSocket clients that asked for numbered scans and have not subscribed yet.
std::unordered_map<WsConnection*, ResumePoint> g_waiting;
// Entries per connection, and whether it was told that it reached the cap.
struct Subscriptions {
    int entries = 0;
    bool capped = false;
};
std::unordered_map<WsConnection*, Subscriptions> g_subscriptions;
ScanHistory* g_history = nullptr;
// The newest number sent to the live subscribers; before the first scan,
// the history's last. Not the history's last later: a scan numbered there
// may not be published yet.
std::uint64_t g_published = 0;
// Each scan's event, made once and shared by every stream it goes to: a
// stream replaying the history holds the history's events until it reads
// them, and as many streams as may connect would otherwise each hold a copy.
// The history's scans and the newest live one.
std::map<std::uint64_t, server::SharedText> g_events;
ResumeFigures g_figures;
// Sends only queue their bytes for the server thread, so holding this while
// sending cannot deadlock against a close reported on that thread.
std::mutex g_conn_list_guard;

void removeFrom(std::vector<WsConnection*>& list, WsConnection* connection) {
    list.erase(std::remove(list.begin(), list.end(), connection), list.end());
}

server::SharedText eventOf(const NumberedScan& scan) {
    server::SharedText& event = g_events[scan.seq];
    if (!event) event = std::make_shared<const std::string>(streamEvent(scan.seq, nullptr, *scan.numbered));
    const server::SharedText found = event;
    const std::size_t room = (g_history != nullptr ? g_history->depth() : 0) + 1;
    while (g_events.size() > room) g_events.erase(g_events.begin());
    return found;
}

// What the client is sent before the live scans: the notice of what it
// cannot have, the newest number published (the live scans follow it),
// then the history after its point up to that number.
std::vector<server::SharedText> historyFor(WsConnection* connection, const ResumePoint& point) {
    const bool stream = server::eventStream(*connection);
    const auto subscribed = [&] {
        return std::make_shared<const std::string>(stream ? subscribedEvent(g_published) : subscribedNotice(g_published));
    };
    if (point.live || g_history == nullptr) return {subscribed()};
    std::vector<server::SharedText> messages;
    const ScansSince found = g_history->since(point.seq, g_history->depth());
    if (found.ahead || found.missed > 0) {
        const std::string notice = missedNotice(found, point.seq, g_published);
        messages.push_back(std::make_shared<const std::string>(stream ? streamEvent(0, "missed", notice) : notice));
        ++g_figures.missedNotices;
    }
    messages.push_back(subscribed());
    for (const NumberedScan& scan : found.scans) messages.push_back(stream ? eventOf(scan) : scan.numbered);
    g_figures.replayed += found.scans.size();
    return messages;
}

// Under the lock: the history is taken and the client joins the live scans
// in one step, so that each scan is in one of the two, never in both.
void subscribeNumbered(WsConnection* connection, const ResumePoint& point) {
    g_subscriptions[connection].entries = 1;
    (server::eventStream(*connection) ? g_streams : g_numbered).push_back(connection);
    ++g_figures.numberedClients;
    std::vector<server::SharedText> history = historyFor(connection, point);
    if (websocket != nullptr) websocket->replay(connection, std::move(history));
}

}  // namespace

void useHistory(ScanHistory* history) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    g_history = history;
    g_published = history != nullptr ? history->last() : 0;
}

void noteNumberedClient(WsConnection* connection) {
    std::string problem;
    const auto point =
        resumePointOf(server::openingQuery(*connection), server::lastEventId(*connection), problem);
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    if (server::eventStream(*connection))
        subscribeNumbered(connection, point.value_or(ResumePoint{}));
    else if (point && point->asked)
        g_waiting[connection] = *point;
}

void* socketPthreadGetDataCall(WsConnection* connection, char*, int) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    if (const auto waiting = g_waiting.find(connection); waiting != g_waiting.end()) {
        const ResumePoint point = waiting->second;
        g_waiting.erase(waiting);
        subscribeNumbered(connection, point);
        consoleOut(LineKind::Chatter, "g_conn  get!\n");
        return nullptr;
    }
    Subscriptions& subscriptions = g_subscriptions[connection];
    if (std::find(g_numbered.begin(), g_numbered.end(), connection) != g_numbered.end()) return nullptr;
    if (subscriptions.entries >= kMaxSubscriptionsPerConnection) {
        if (!subscriptions.capped)
            consoleOut(LineKind::Warning,
                       "conn id %d has %d subscriptions, the most one connection may hold: further messages "
                       "from it are ignored\n",
                       server::connectionId(*connection), kMaxSubscriptionsPerConnection);
        subscriptions.capped = true;
        return nullptr;
    }
    ++subscriptions.entries;
    g_conn_list.push_back(connection);
    consoleOut(LineKind::Chatter, "g_conn  get!\n");
    return nullptr;
}

void* socketPthreadCloseConn(WsConnection* connection) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    removeFrom(g_conn_list, connection);
    const std::size_t numbered = g_numbered.size() + g_streams.size();
    removeFrom(g_numbered, connection);
    removeFrom(g_streams, connection);
    g_figures.numberedClients -= numbered - g_numbered.size() - g_streams.size();
    g_waiting.erase(connection);
    g_subscriptions.erase(connection);
    consoleOut(LineKind::Chatter, "g_conn over!\n");
    return nullptr;
}

void withSubscribers(const std::function<void(const Subscribers&)>& use) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    use(Subscribers{g_conn_list, g_numbered, g_streams, eventOf, g_published});
}

std::size_t subscribedClients() {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    return g_subscriptions.size();
}

std::size_t subscriberCount() {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    return g_conn_list.size() + g_numbered.size() + g_streams.size();
}

ResumeFigures resumeFigures() {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    return g_figures;
}
