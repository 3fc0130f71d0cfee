#include "publication/subscriber_list.h"

#include "console/console_lines.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Non-owning: the server owns the connections. One connection may stand
// here several times.
std::vector<WsConnection*> g_conn_list;
// Entries per connection, and whether it was told that it reached the cap.
struct Subscriptions {
    int entries = 0;
    bool capped = false;
};
std::unordered_map<WsConnection*, Subscriptions> g_subscriptions;
// Sends only queue their bytes for the server thread, so holding this while
// sending cannot deadlock against a close reported on that thread.
std::mutex g_conn_list_guard;

}  // namespace

void* socketPthreadGetDataCall(WsConnection* connection, char*, int) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    Subscriptions& subscriptions = g_subscriptions[connection];
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
    g_conn_list.erase(std::remove(g_conn_list.begin(), g_conn_list.end(), connection),
                      g_conn_list.end());
    g_subscriptions.erase(connection);
    consoleOut(LineKind::Chatter, "g_conn over!\n");
    return nullptr;
}

void withSubscribers(const std::function<void(const std::vector<WsConnection*>&)>& use) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    use(g_conn_list);
}

std::size_t subscribedClients() {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    return g_subscriptions.size();
}

std::size_t subscriberCount() {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    return g_conn_list.size();
}
