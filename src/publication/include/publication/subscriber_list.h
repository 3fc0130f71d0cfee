// Who receives scans: every client that has sent a non-empty message, once
// per message, until its connection closes. A client that asked for
// numbered scans (since= in its request, or an event stream) is one entry
// however often it writes, and on its first message (an event stream at
// once) it is first sent what it missed from the history.
#pragma once

#include "history/scan_history.h"
#include "publication/known_scanners.h"
#include "publication/websocketcontrol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Each non-empty message is one more entry, up to this many per connection
// (a page subscribes once); a client cannot grow the list, and the work of
// every scan, without bound.
constexpr int kMaxSubscriptionsPerConnection = 1000;

// The history that clients resuming are served from; none: they get only
// live scans. Set before the server starts.
void useHistory(ScanHistory* history);
// The scanners clients may ask for by name (?scanner=NAME). Set before the
// server starts.
void useScanners(KnownScanners scanners);

// The connection-opened step for clients that asked for numbered scans:
// an event stream is subscribed at once, a WebSocket client on its first
// message.
void noteNumberedClient(WsConnection* connection);
// The message-received callback: appends the sender to the list.
void* socketPthreadGetDataCall(WsConnection* connection, char* text, int length);
// The connection-closed callback: removes every entry of the connection.
void* socketPthreadCloseConn(WsConnection* connection);

// The subscribers of one scan, by what they are sent: the plain message
// (in list order, a connection once per entry), the numbered one, and the
// numbered one as an event.
struct Subscribers {
    const std::vector<WsConnection*>& plain;
    const std::vector<WsConnection*>& numbered;
    const std::vector<WsConnection*>& streams;
    // A scan's event, made once for every stream.
    server::SharedText (*event)(const NumberedScan& scan);
    // The newest number sent to them: the publisher sets it, and a client
    // subscribing is told it.
    std::uint64_t& published;
};

// Hands the entries that are to have a scan of `scanner` (every entry but
// those of clients that asked for other scanners only) to `use` while no
// entry can be added or removed, so a connection cannot close under a send
// to it, and no client resuming can be between the history and the live
// scans. Entries added meanwhile wait for the next call.
void withSubscribers(const std::string& scanner, const std::function<void(const Subscribers&)>& use);

// How many entries the list has now.
std::size_t subscriberCount();
// How many connections have entries now.
std::size_t subscribedClients();

// Clients that have numbered scans now, scans sent from the history, and
// notices of scans missed.
struct ResumeFigures {
    std::size_t numberedClients = 0;
    std::uint64_t replayed = 0;
    std::uint64_t missedNotices = 0;
};
ResumeFigures resumeFigures();
