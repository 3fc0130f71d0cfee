// What a numbered client is sent beside the scans: the notice of scans it
// cannot have, the one that it is subscribed, and, for event streams, each
// message as one event.
#pragma once

#include "history/scan_history.h"

#include <cstdint>
#include <string>

// {"type": "SCANS_MISSED", "count": N, "since": SEQ, "first": ..., "last": ...}
// formatted as the scan message is; "count" null when `since` is ahead of
// the last number (another box's), "first" (the oldest it will have) null
// when it will have none from the history. When scans may have been lost
// uncounted, "count" is null too and "lost": true follows "last": a client
// that knows only the members before it takes it for another box's number
// at worst, never for nothing missed. A client that asked for some
// scanners only is told the numbers it missed of every scanner (it cannot
// know which were its own), and "filtered": true comes last.
std::string missedNotice(const ScansSince& found, std::uint64_t since, std::uint64_t last, bool filtered);
// Whether there is anything to tell.
bool missedNoticeDue(const ScansSince& found);
// The same as an event stream's event of type "missed" when `stream`.
std::string missedMessage(const ScansSince& found, std::uint64_t since, std::uint64_t last, bool stream,
                          bool filtered);

// {"type": "SUBSCRIBED", "last": N}: the subscription is accepted, and N is
// the newest number published when the client joined the live scans, so
// every scan it is sent live is numbered above N.
std::string subscribedNotice(std::uint64_t last);
// The same for an event stream: an event "subscribed", {"last": N}, no id.
std::string subscribedEvent(std::uint64_t last);

// One event of a text/event-stream: its id when it has one (0: none), its
// type when not a plain message, and the message on one line.
std::string streamEvent(std::uint64_t id, const char* type, const std::string& message);
// A scan's event: its number as id, its numbered message.
std::string scanEvent(const NumberedScan& scan);
