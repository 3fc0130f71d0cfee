// The publication component: the service's layer over the server, which
// keeps its long-standing names, rules and console lines: the subscriber
// list (subscriber_list.h), the server's callbacks (websocketcontrol.h) and,
// here, the server's thread and a scan's publication to the subscribers.
// It uses the server component and the console.
//
// The one WebSocket server of the service and the thread that runs it.
#pragma once

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

// The WebSocket publication of one scan message: one copy to each
// subscriber entry, in list order.
void publishToSubscribers(const std::string& message);

// Stops the server, waits until its thread is done with it and destroys it.
void stopWebsocketServer();
