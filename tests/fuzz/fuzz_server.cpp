#include "fuzz_server.h"

#include "publication/subscriber_list.h"
#include "publication/websocketcontrol.h"
#include "service/service_stats.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

namespace fuzz {
namespace {

std::mutex guard;
std::vector<std::string> messages;
int closeCount = 0;

// Reads every byte it is given, so that the memory checker catches a length
// that overstates the bytes behind the pointer.
void* recordMessage(WsConnection* connection, char* text, int length) {
    std::string copy(text, static_cast<std::size_t>(length));
    {
        std::lock_guard<std::mutex> lock(guard);
        messages.push_back(std::move(copy));
    }
    return socketPthreadGetDataCall(connection, text, length);
}

void* recordClose(WsConnection* connection) {
    socketPthreadCloseConn(connection);
    std::lock_guard<std::mutex> lock(guard);
    ++closeCount;
    return nullptr;
}

// The server thread acts on its own time: give it up to two seconds.
template <class Condition>
bool waitUntil(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "fuzzer: %s\n", what);
    abort();
}

void startServer(ServerSettings settings) {
    if (!freopen("/dev/null", "w", stdout)) abort();  // the running commentary
    static ServiceStats stats({});
    if (settings.figures == nullptr) settings.figures = &stats;
    static WebsocketControl server(std::move(settings));  // serves for the whole run
    server.SocketLinkRecvSetCallback(recordMessage);
    server.SocketLinkCloseSetCallback(recordClose);
    std::thread([] { server.setupWebsocketServer(); }).detach();
}

std::vector<std::string> takeMessages() {
    std::lock_guard<std::mutex> lock(guard);
    return std::exchange(messages, {});
}

int closes() {
    std::lock_guard<std::mutex> lock(guard);
    return closeCount;
}

bool waitForCloses(int count) {
    return waitUntil([count] { return closes() >= count; });
}

int subscriberEntries() {
    return static_cast<int>(subscriberCount());
}

bool waitForNoSubscribers() {
    return waitUntil([] { return subscriberEntries() == 0; });
}

}  // namespace fuzz
