#include "device_scan_source.h"

#include "device_wait.h"
#include "stop_notice.h"
#include "console/console.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

DeviceScanSource::DeviceScanSource(int fd, ScanFraming framing) : fd_(fd), framing_(std::move(framing)) {}

DeviceScanSource::~DeviceScanSource() { close(fd_); }

std::optional<Scan> DeviceScanSource::waitForScan() {
    for (;;) {
        if (!finished_.empty()) {
            Scan scan = std::move(finished_.front());
            finished_.pop_front();
            return scan;
        }
        if (ended_) return std::nullopt;
        flushConsole();
        switch (waitForDevice(fd_, framing_.stop, quietLimit())) {
        case DeviceWait::Quiet: quietSpell(); break;
        case DeviceWait::Stop: stop(); break;
        case DeviceWait::Readable: readDevice(); break;
        }
    }
}

// What the device sent before the stop is read and goes out too, the scan
// under way ended where it is.
void DeviceScanSource::stop() {
    while (readDevice()) {
    }
    endScanUnderWay();
    ended_ = true;
    sayStopping();
}

// What the device has (a hidraw device gives one report a read); false when
// it has nothing more now. Its end (unplugged, or a FIFO's writer gone) ends
// the scan under way and the source.
bool DeviceScanSource::readDevice() {
    char bytes[4096];
    ssize_t got;
    do got = read(fd_, bytes, sizeof bytes);
    while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) return false;
    if (got <= 0) {
        endScanUnderWay();
        ended_ = true;
        return false;
    }
    takeBytes(bytes, static_cast<std::size_t>(got));
    return true;
}
