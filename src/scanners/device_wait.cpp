#include "device_wait.h"

#include <poll.h>

#include <cerrno>

DeviceWait waitForDevice(int fd, int stop, std::chrono::milliseconds timeout) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
        const int ready = poll(watched, stop >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return DeviceWait::Quiet;
        if (stop >= 0 && watched[1].revents != 0) return DeviceWait::Stop;
        return DeviceWait::Readable;  // or a poll that failed: the read says why
    }
}
