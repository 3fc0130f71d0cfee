// Who receives scans: every client that has sent a non-empty message, once
// per message, until its connection closes.
#pragma once

#include "publication/websocketcontrol.h"

#include <cstddef>
#include <functional>
#include <vector>

// Each non-empty message is one more entry, up to this many per connection
// (a page subscribes once); a client cannot grow the list, and the work of
// every scan, without bound.
constexpr int kMaxSubscriptionsPerConnection = 1000;

// The message-received callback: appends the sender to the list.
void* socketPthreadGetDataCall(WsConnection* connection, char* text, int length);
// The connection-closed callback: removes every entry of the connection.
void* socketPthreadCloseConn(WsConnection* connection);

// Hands the entries, in list order, to `use` while no entry can be added or
// removed, so a connection cannot close under a send to it. Entries added
// meanwhile wait for the next call.
void withSubscribers(const std::function<void(const std::vector<WsConnection*>&)>& use);

// How many entries the list has now.
std::size_t subscriberCount();
// How many connections have entries now.
std::size_t subscribedClients();
