// The one WebSocket server of the service and the thread that runs it.
#pragma once

class WebsocketControl;
struct ServerSettings;

// Owned; created by toStartSocetServers, destroyed by stopWebsocketServer.
extern WebsocketControl* websocket;

// Creates the server if needed, registers the subscriber list's callbacks
// and starts the detached server thread. 0, or -2 when the thread cannot be
// created.
int toStartSocetServers();
// The same with the address, port, allowed origins and figures to serve.
int toStartSocetServers(const ServerSettings& settings);

// The server thread's entry.
void* socketPthreadStart(void*);

// Stops the server, waits until its thread is done with it and destroys it.
void stopWebsocketServer();
