#include "publication/subscriber_list.h"

#include "console/console_lines.h"
#include "history_replay.h"
#include "publication/server_thread.h"
#include "resume_messages.h"
#include "resume_point.h"
#include "scanner_filter.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>
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
// The clients that asked for some scanners' scans only, and what they
// asked for; every other client has every scan. One small filter a
// connection, and connections are capped.
std::unordered_map<WsConnection*, ScannerFilter> g_filters;
KnownScanners g_scanners;
ScanHistory* g_history = nullptr;
// The newest number sent to the live subscribers; before the first scan,
// the history's last. Not the history's last later: a scan numbered there
// may not be published yet.
std::uint64_t g_published = 0;
std::size_t g_numbered_clients = 0;
// Counted by the replays on the server thread.
ReplayCounts g_counts;
// Sends only queue their bytes for the server thread, so holding this while
// sending cannot deadlock against a close reported on that thread.
std::mutex g_conn_list_guard;

void removeFrom(std::vector<WsConnection*>& list, WsConnection* connection) {
    list.erase(std::remove(list.begin(), list.end(), connection), list.end());
}

// One live scan's event, made once for every stream it goes to.
server::SharedText liveEvent(const NumberedScan& scan) { return std::make_shared<const std::string>(scanEvent(scan)); }

// What the client is sent before the live scans: the notice of what it
// cannot have and the newest number published (the live scans follow it);
// then the replay reads the history after its point up to that number.
struct Replay {
    std::vector<server::SharedText> first;
    std::shared_ptr<server::ReplaySource> rest;
};
ScannerFilter filterOf(WsConnection* connection) {
    const auto filter = g_filters.find(connection);
    return filter != g_filters.end() ? filter->second : ScannerFilter();
}

Replay replayFor(WsConnection* connection, const ResumePoint& point) {
    const bool stream = server::eventStream(*connection);
    const ScannerFilter filter = filterOf(connection);
    Replay replay;
    if (!point.live && g_history != nullptr) {
        // The oldest scan it will have, for the notice; the rest later.
        const ScansSince found = g_history->between(point.seq, g_published, 1);
        if (missedNoticeDue(found)) {
            replay.first.push_back(std::make_shared<const std::string>(
                missedMessage(found, point.seq, g_published, stream, !filter.everyScanner())));
            ++g_counts.missedNotices;
        }
        if (!found.scans.empty())
            replay.rest = std::make_shared<HistoryReplay>(*g_history, found.scans.front().seq - 1, g_published, stream,
                                                          filter, g_counts);
    }
    replay.first.push_back(
        std::make_shared<const std::string>(stream ? subscribedEvent(g_published) : subscribedNotice(g_published)));
    return replay;
}

// Under the lock: the client joins the live scans, held back behind its
// replay, and the replay ends at the newest number published, so that each
// scan is in one of the two, never in both. The replay itself is read
// later, outside the lock.
void subscribeNumbered(WsConnection* connection, const ResumePoint& point) {
    g_subscriptions[connection].entries = 1;
    (server::eventStream(*connection) ? g_streams : g_numbered).push_back(connection);
    ++g_numbered_clients;
    Replay replay = replayFor(connection, point);
    if (websocket != nullptr) websocket->replay(connection, std::move(replay.first), std::move(replay.rest));
}

}  // namespace

void useHistory(ScanHistory* history) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    g_history = history;
    g_published = history != nullptr ? history->last() : 0;
}

void useScanners(KnownScanners scanners) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    g_scanners = std::move(scanners);
}

// The query was checked before the connection opened: a bad one never
// gets here.
void noteNumberedClient(WsConnection* connection) {
    std::string problem;
    const std::string& query = server::openingQuery(*connection);
    const auto point = resumePointOf(query, server::lastEventId(*connection), problem);
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    if (auto filter = ScannerFilter::of(query, g_scanners, problem); filter && !filter->everyScanner())
        g_filters.emplace(connection, std::move(*filter));
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
    g_numbered_clients -= numbered - g_numbered.size() - g_streams.size();
    g_waiting.erase(connection);
    g_subscriptions.erase(connection);
    g_filters.erase(connection);
    consoleOut(LineKind::Chatter, "g_conn over!\n");
    return nullptr;
}

// Without a filtered client the lists are handed as they are: the work of
// a scan for everyone else stays what it was.
void withSubscribers(const std::string& scanner, const std::function<void(const Subscribers&)>& use) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    if (g_filters.empty()) return use(Subscribers{g_conn_list, g_numbered, g_streams, liveEvent, g_published});
    const auto passing = [&scanner](const std::vector<WsConnection*>& list) {
        std::vector<WsConnection*> those;
        those.reserve(list.size());
        for (WsConnection* connection : list) {
            const auto filter = g_filters.find(connection);
            if (filter == g_filters.end() || filter->second.passes(scanner)) those.push_back(connection);
        }
        return those;
    };
    use(Subscribers{passing(g_conn_list), passing(g_numbered), passing(g_streams), liveEvent, g_published});
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
    return ResumeFigures{g_numbered_clients, g_counts.replayed, g_counts.missedNotices};
}
