#include "relay_loop.h"

#include "charset.h"
#include "console.h"
#include "options.h"
#include "scan_message.h"
#include "scan_reader.h"
#include "serial_port.h"
#include "service_stats.h"
#include "server_thread.h"
#include "subscriber_list.h"
#include "websocketcontrol.h"

#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A scan ends where the buffer still has room for the zero byte behind it.
constexpr int kMaxBurstLength = static_cast<int>(kBurstBufferSize) - 1;

void sendToSubscribers(const std::string& message) {
    if (websocket == nullptr) return;
    websocket->beginBroadcast();
    forEachSubscriber([&message](WsConnection* connection) {
        websocket->doSendText(connection, message.data(), static_cast<int>(message.size()));
    });
}

// A scan cut off by the full buffer may end inside a character: those bytes
// are held back so that the character arrives whole with what follows.
int heldBackLength(const char* burst, int count, const ScanCharsets& charsets) {
    if (count < kMaxBurstLength) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(burst);
    return count - static_cast<int>(completeCharactersLength(charsets.source().c_str(), bytes, count));
}

// Closing the last descriptor of a USB serial tty flushes its input and
// stops the adapter's reads, and the next open resets some chips: bytes
// arriving meanwhile would be lost. A duplicate held across the close and
// the reopen keeps the device open; the caller closes it after the reopen.
int closeDataPortKeepingItOpen() {
    const int keeper = dup(SerialHandle);
    close(SerialHandle);
    return keeper;
}

struct Publication {
    int carried;  // bytes that start the buffer again: the next scan's
    int keeper;   // descriptor that keeps the port open until the reopen
};

// Converts the scan, closes the port, sends one scan message to every
// subscriber and clears both buffers; what followed the scan starts the
// burst buffer again.
Publication publishScan(RelayBuffers& buffers, const ScanRead& scan, const ScanCharsets& charsets,
                        ServiceStats& stats, const ScanSink& alsoTo) {
    const int length = scan.length - heldBackLength(buffers.burst, scan.length, charsets);
    const std::string following(buffers.burst + length, static_cast<std::size_t>(scan.total - length));
    memset(buffers.burst + length, 0, following.size());

    // The zero byte behind the scan is converted too; the output capacity
    // keeps one byte free so that the text always ends in a zero.
    const bool replaced = convertScan(charsets, buffers.burst, length + 1, buffers.converted,
                                      sizeof buffers.converted - 1);
    const int keeper = closeDataPortKeepingItOpen();

    const std::string data(buffers.converted);
    const std::string message = enJsonFormat(data.size(), data);
    if (!message.empty()) {
        sendToSubscribers(message);
        if (alsoTo) alsoTo(message);
    }
    stats.scanRelayed(static_cast<std::size_t>(length), replaced);
    flushConsole();

    buffers.clear();
    memcpy(buffers.burst, following.data(), following.size());
    return {static_cast<int>(following.size()), keeper};
}

// The adapter is gone, but what it sent before may still wait in the buffer
// (several stored scans from one read, say): each scan goes out, in order,
// and then the rest.
void publishWhatWasRead(RelayBuffers& buffers, int carried, const ScanFraming& framing,
                        const ScanCharsets& charsets, ServiceStats& stats, const ScanSink& alsoTo) {
    SerialHandle = -1;  // nothing left to read, close or keep open
    while (carried > 0) {
        // Held bytes are framed without waiting for the scanner, so this never
        // reports a stop.
        const ScanRead scan = readScan(SerialHandle, buffers.burst, kMaxBurstLength, carried, framing);
        carried = publishScan(buffers, scan, charsets, stats, alsoTo).carried;
    }
}

}  // namespace

void RelayBuffers::clear() {
    memset(burst, 0, sizeof burst);
    memset(converted, 0, sizeof converted);
}

void runRelayLoop(RelayBuffers& buffers, const Options& options, ServiceStats& stats, const ScanSink& alsoTo,
                  std::chrono::milliseconds heartbeat, int stop) {
    const ScanFraming framing{options.scanGap, options.endOn, heartbeat, [&stats] { stats.relayAlive(); }, stop};
    int carried = 0;
    for (;;) {
        flushConsole();
        const ScanRead scan = readScan(SerialHandle, buffers.burst, kMaxBurstLength, carried, framing);
        if (scan.stopped) {
            puts("stopping: asked to end (SIGTERM or SIGINT); every scan read has been published");
            close(SerialHandle);
            break;
        }
        // Nothing read means the port failed (the adapter is gone, say):
        // that is no scan, and the reopen tells whether to go on.
        Publication published{0, -1};
        if (scan.length > 0)
            published = publishScan(buffers, scan, options.charsets, stats, alsoTo);
        else
            published.keeper = closeDataPortKeepingItOpen();
        carried = published.carried;
        const int reopened = init_com(options.device.c_str(), 115200, 8, 'N', 1, PendingInput::Keep);
        if (published.keeper >= 0) close(published.keeper);
        if (reopened < 0) {
            puts("GetConAgain output:init_com error ");
            publishWhatWasRead(buffers, carried, framing, options.charsets, stats, alsoTo);
            break;
        }
    }
}
