#include "subscriber_list.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

// Non-owning: the server owns the connections. One connection may stand
// here several times.
std::vector<WsConnection*> g_conn_list;
// Sends only queue their bytes for the server thread, so holding this while
// sending cannot deadlock against a close reported on that thread.
std::mutex g_conn_list_guard;

}  // namespace

void* socketPthreadGetDataCall(WsConnection* connection, char*, int) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    g_conn_list.push_back(connection);
    puts("g_conn  get!");
    return nullptr;
}

void* socketPthreadCloseConn(WsConnection* connection) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    g_conn_list.erase(std::remove(g_conn_list.begin(), g_conn_list.end(), connection),
                      g_conn_list.end());
    puts("g_conn over!");
    return nullptr;
}

void forEachSubscriber(const std::function<void(WsConnection*)>& visit) {
    std::lock_guard<std::mutex> lock(g_conn_list_guard);
    const std::size_t count = g_conn_list.size();
    for (std::size_t i = 0; i < count; ++i) visit(g_conn_list[i]);
}
