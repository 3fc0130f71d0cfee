#include "hid_pos_scan_source.h"

#include "console.h"
#include "console_lines.h"
#include "device_wait.h"
#include "stop_notice.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// The device's report descriptor; nothing (errno set) when it gives none.
std::optional<std::vector<unsigned char>> reportDescriptor(int fd) {
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return std::nullopt;
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return std::nullopt;
    return std::vector<unsigned char>(descriptor.value, descriptor.value + descriptor.size);
}

std::string deviceName(int fd) {
    char name[256] = {};
    if (ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name) < 0) return "";
    return name;
}

}  // namespace

std::unique_ptr<HidPosScanSource> HidPosScanSource::open(const std::string& path, ScanCharsets charsets,
                                                         ScanFraming framing, bool announce) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        consoleOut(LineKind::Error, "HID POS scanner %s: cannot open it: %s\n", path.c_str(), strerror(errno));
        return nullptr;
    }
    const auto descriptor = reportDescriptor(fd);
    const auto layout = descriptor ? findHidPosLayout(descriptor->data(), descriptor->size()) : std::nullopt;
    if (!layout) {
        consoleOut(LineKind::Error, "HID POS scanner %s: %s%s\n", path.c_str(),
               descriptor ? "its reports carry no barcode data this service can read (no byte-wide Decoded Data "
                            "on usage page 0x8C); set the scanner to serial or keyboard mode"
                          : "it gives no report descriptor: ",
               descriptor ? "" : strerror(errno));
        close(fd);
        return nullptr;
    }
    auto source = std::unique_ptr<HidPosScanSource>(
        new HidPosScanSource(fd, deviceName(fd), *layout, std::move(charsets), std::move(framing)));
    if (announce)
        consoleOut(LineKind::Event, "HID POS scanner %s%s%s%s: reading report %d\n", path.c_str(),
                   source->name_.empty() ? "" : " (", source->name_.c_str(), source->name_.empty() ? "" : ")",
                   layout->reportId);
    return source;
}

HidPosScanSource::HidPosScanSource(int fd, std::string name, HidPosLayout layout, ScanCharsets charsets,
                                   ScanFraming framing)
    : fd_(fd), name_(std::move(name)), reports_(layout, charsets.source()), charsets_(std::move(charsets)),
      framing_(std::move(framing)) {}

HidPosScanSource::~HidPosScanSource() { close(fd_); }

std::optional<Scan> HidPosScanSource::waitForScan() {
    for (;;) {
        if (!finished_.empty()) {
            Scan scan = std::move(finished_.front());
            finished_.pop_front();
            return scan;
        }
        if (ended_) return std::nullopt;
        flushConsole();
        switch (waitForDevice(fd_, framing_.stop, framing_.heartbeat)) {
        case DeviceWait::Quiet: break;
        case DeviceWait::Stop: stop(); break;
        case DeviceWait::Readable: readReport(); break;
        }
    }
}

// The reports sent before the stop are read and go out too, a scan
// continued in the next report ended where it is.
void HidPosScanSource::stop() {
    while (readReport()) {
    }
    endScanUnderWay();
    ended_ = true;
    sayStopping();
}

// One report, and the scans it ends; false when the device has nothing
// more now. The device's end (unplugged) ends the scan under way and the
// source.
bool HidPosScanSource::readReport() {
    unsigned char report[4096];
    ssize_t got;
    do got = read(fd_, report, sizeof report);
    while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) return false;
    if (got <= 0) {
        endScanUnderWay();
        ended_ = true;
        return false;
    }
    for (const std::string& bytes : reports_.take(report, static_cast<std::size_t>(got))) keep(bytes);
    return true;
}

void HidPosScanSource::endScanUnderWay() {
    if (const auto bytes = reports_.endUnderWay()) keep(*bytes);
}

void HidPosScanSource::keep(const std::string& bytes) {
    std::vector<char> converted(bytes.size() * 4 + 16, '\0');
    const bool replaced =
        convertScan(charsets_, bytes.c_str(), bytes.size() + 1, converted.data(), converted.size() - 1);
    finished_.push_back(Scan{std::string(converted.data()), bytes.size(), replaced});
}
