#include "publication/server_thread.h"

#include "console/console_lines.h"
#include "publication/subscriber_list.h"
#include "publication/websocketcontrol.h"

#include <pthread.h>

#include <cstdio>
#include <mutex>
#include <vector>

WebsocketControl* websocket = nullptr;

namespace {

// The detached server thread holds this while it uses the object, so the
// object is never destroyed under it, whether it has started serving yet
// or not.
std::mutex g_websocket_in_use;

}  // namespace

void* socketPthreadStart(void*) {
    std::lock_guard<std::mutex> lock(g_websocket_in_use);
    if (websocket != nullptr) websocket->setupWebsocketServer();
    return nullptr;
}

int toStartSocetServers(const ServerSettings& settings) {
    std::unique_lock<std::mutex> lock(g_websocket_in_use, std::defer_lock);
    if (websocket == nullptr) {
        lock.lock();  // a server thread left from an earlier start may be waiting to look
        websocket = new WebsocketControl(settings);
    }
    websocket->SocketLinkRecvSetCallback(socketPthreadGetDataCall);
    websocket->SocketLinkCloseSetCallback(socketPthreadCloseConn);

    pthread_t thread;
    if (pthread_create(&thread, nullptr, socketPthreadStart, nullptr) != 0) {
        consoleOut(LineKind::Error, "info:to create Socket pthread Error \n");
        return -2;
    }
    consoleOut(LineKind::Chatter, "pthread_detach \n");
    pthread_detach(thread);
    return 0;
}

void publishToSubscribers(const NumberedScan& scan, ScanHistory& history) {
    withSubscribers(scan.scanner, [&scan, &history](const Subscribers& subscribers) {
        history.keep(scan);
        subscribers.published = scan.seq;
        if (websocket == nullptr) return;
        websocket->sendTextToEach(subscribers.plain, scan.plain);
        websocket->sendTextToEach(subscribers.numbered, scan.numbered);
        if (!subscribers.streams.empty()) websocket->sendTextToEach(subscribers.streams, subscribers.event(scan));
    });
}

void stopWebsocketServer() {
    if (websocket == nullptr) return;
    websocket->closeWebsocketServer();
    std::lock_guard<std::mutex> lock(g_websocket_in_use);
    delete websocket;
    websocket = nullptr;
}
