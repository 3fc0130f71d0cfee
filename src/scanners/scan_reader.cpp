#include "scanners/scan_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Just past the first end byte within [from, to), or 0 when there is none.
int pastEndByte(const char* buffer, int from, int to, std::optional<unsigned char> endOn) {
    if (!endOn || from >= to) return 0;
    const void* found = memchr(buffer + from, *endOn, static_cast<std::size_t>(to - from));
    return found ? static_cast<int>(static_cast<const char*>(found) - buffer) + 1 : 0;
}

// Whether a byte (or a hang-up, which the next read reports) arrives within
// the gap. Once the service is to stop, only what the port holds already:
// the rest of a scan that came with the stop still belongs to it.
bool moreWithin(int port, std::chrono::milliseconds gap, int stop) {
    pollfd waiting[2] = {{port, POLLIN, 0}, {stop, POLLIN, 0}};
    int ready;
    do {
        ready = poll(waiting, stop >= 0 ? 2 : 1, static_cast<int>(gap.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && waiting[0].revents != 0;
}

bool stopRequested(int stop) {
    pollfd waiting{stop, POLLIN, 0};
    return stop >= 0 && poll(&waiting, 1, 0) > 0;
}

// Waits until the port has a byte or a hang-up for the read, alive all the
// while; false when the service is to stop instead and the scanner has sent
// nothing more (what it did send is still read and published).
bool waitForScanner(int port, const ScanFraming& framing) {
    if (framing.alive) framing.alive();
    while (!moreWithin(port, framing.heartbeat, framing.stop)) {
        if (stopRequested(framing.stop)) return moreWithin(port, std::chrono::milliseconds(0), -1);
        if (framing.alive) framing.alive();
    }
    return true;
}

ssize_t readSome(int port, char* into, int room) {
    ssize_t got;
    do {
        got = read(port, into, static_cast<std::size_t>(room));
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

ScanRead readScan(int port, char* buffer, int capacity, int held, const ScanFraming& framing) {
    int count = held;
    if (count == 0) {
        if (!waitForScanner(port, framing)) return {0, 0, true};
        const ssize_t got = readSome(port, buffer, capacity);
        if (got <= 0) return {0, 0};
        count = static_cast<int>(got);
        // Later reads come only after poll has seen bytes; non-blocking, so
        // that a hang-up in between cannot leave the loop waiting in read.
        fcntl(port, F_SETFL, O_NONBLOCK);
    }
    for (int searched = 0;;) {
        if (const int end = pastEndByte(buffer, searched, count, framing.endOn)) return {end, count};
        searched = count;
        if (count >= capacity || !moreWithin(port, framing.gap, framing.stop)) return {count, count};
        const ssize_t got = readSome(port, buffer + count, capacity - count);
        if (got < 0 && errno == EAGAIN) continue;
        if (got <= 0) return {count, count};  // the adapter went away mid-scan
        count += static_cast<int>(got);
    }
}
