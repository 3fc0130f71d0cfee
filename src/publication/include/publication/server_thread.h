// The publication component: the service's layer over the server, which
// keeps its long-standing names, rules and console lines: the subscriber
// list (subscriber_list.h), the server's callbacks (websocketcontrol.h) and,
// here, the server's thread and a scan's publication to the subscribers.
// It uses the server component and the console.
//
// The one WebSocket server of the service and the thread that runs it.
#pragma once

#include "history/scan_history.h"

#include <string>

class WebsocketControl;
struct ServerSettings;

// Owned; created by toStartSocetServers, destroyed by stopWebsocketServer.
extern WebsocketControl* websocket;

// Creates the server for these settings if there is none, registers the
// subscriber list's callbacks and starts the detached server thread. 0, or
// -2 when the thread cannot be created.
int toStartSocetServers(const ServerSettings& settings);

// The server thread's entry.
void* socketPthreadStart(void*);

// The WebSocket publication of one scan: kept in the history and sent, its
// plain message, to each subscriber entry in list order, both while no
// entry can be added or removed, so that a client that joins sees each scan
// either in the history or live, never in neither nor in both.
void publishToSubscribers(const NumberedScan& scan, ScanHistory& history);

// Stops the server, waits until its thread is done with it and destroys it.
void stopWebsocketServer();
