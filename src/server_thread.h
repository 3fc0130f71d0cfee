// The one WebSocket server of the service and the thread that runs it.
#pragma once

class WebsocketControl;

// Owned; created by toStartSocetServers, destroyed by stopWebsocketServer.
extern WebsocketControl* websocket;

// Creates the server if needed, registers the subscriber list's callbacks
// and starts the detached server thread. 0, or -2 when the thread cannot be
// created.
int toStartSocetServers();

// The server thread's entry.
void* socketPthreadStart(void*);

// Stops the server, waits until its thread is done with it and destroys it.
void stopWebsocketServer();
