#include "relay_loop.h"

#include "charset.h"
#include "console.h"
#include "scan_message.h"
#include "serial_port.h"
#include "server_thread.h"
#include "subscriber_list.h"
#include "websocketcontrol.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A burst ends where the buffer still has room for the zero byte behind it.
constexpr int kMaxBurstLength = static_cast<int>(kBurstBufferSize) - 1;
// The longest character of the scanner's code pages.
constexpr int kMaxCharacterLength = 4;

// Reads bytes after the first `count` until none is waiting or the buffer is
// full. The first read waits for the scanner; each byte turns the port
// non-blocking, so later reads return at once. Returns the new count.
int readBurst(char* burst, int count) {
    while (count < kMaxBurstLength) {
        usleep(10);
        if (read(SerialHandle, burst + count, 1) != 1) break;
        ++count;
        fcntl(SerialHandle, F_SETFL, O_NONBLOCK);
    }
    return count;
}

void sendToSubscribers(const std::string& message) {
    if (websocket == nullptr) return;
    forEachSubscriber([&message](WsConnection* connection) {
        websocket->doSendText(connection, message.data(), static_cast<int>(message.size()));
    });
}

// A burst cut off by the full buffer may end inside a character: those bytes
// are held back so that the character arrives whole in the next burst.
int heldBackLength(const char* burst, int count) {
    if (count < kMaxBurstLength) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(burst);
    return count - static_cast<int>(completeCharactersLength(bytes, count));
}

// Converts the burst, closes the port, sends one scan message to every
// subscriber and clears both buffers. Returns how many bytes were held back;
// they start the burst buffer again.
int publishBurst(RelayBuffers& buffers, int count) {
    const int heldBack = heldBackLength(buffers.burst, count);
    const int length = count - heldBack;
    char held[kMaxCharacterLength] = {};
    memcpy(held, buffers.burst + length, heldBack);
    memset(buffers.burst + length, 0, heldBack);

    // The zero byte behind the burst is converted too; the output capacity
    // keeps one byte free so that the text always ends in a zero.
    g2u(buffers.burst, length + 1, buffers.converted, sizeof buffers.converted - 1);
    close(SerialHandle);

    const std::string data(buffers.converted);
    const std::string message = enJsonFormat(data.size(), data);
    if (!message.empty()) sendToSubscribers(message);
    flushConsole();

    buffers.clear();
    memcpy(buffers.burst, held, heldBack);
    return heldBack;
}

}  // namespace

void RelayBuffers::clear() {
    memset(burst, 0, sizeof burst);
    memset(converted, 0, sizeof converted);
}

void runRelayLoop(RelayBuffers& buffers) {
    int carried = 0;
    for (;;) {
        flushConsole();
        const int count = readBurst(buffers.burst, carried);
        // No new byte means the first read failed (the adapter is gone, say):
        // that is no scan, and the reopen tells whether to go on.
        if (count > carried)
            carried = publishBurst(buffers, count);
        else
            close(SerialHandle);
        if (init_com(0, 115200, 8, 'N', 1, PendingInput::Keep) < 0) {
            puts("GetConAgain output:init_com error ");
            break;
        }
    }
}
