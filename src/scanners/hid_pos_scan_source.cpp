#include "hid_pos_scan_source.h"

#include "device_wait.h"
#include "stop_notice.h"
#include "console/console.h"
#include "console/console_lines.h"

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
    : DeviceScanSource(fd, std::move(framing)), name_(std::move(name)), reports_(layout, charsets.source()),
      charsets_(std::move(charsets)) {}

// Each read is one report; a scan continued in the next report waits for it.
void HidPosScanSource::takeBytes(const char* report, std::size_t length) {
    for (const HidPosScan& scan : reports_.take(reinterpret_cast<const unsigned char*>(report), length)) keep(scan);
}

void HidPosScanSource::endScanUnderWay() {
    if (const auto scan = reports_.endUnderWay()) keep(*scan);
}

void HidPosScanSource::keep(const HidPosScan& scan) {
    const std::string& bytes = scan.bytes;
    std::vector<char> converted(bytes.size() * 4 + 16, '\0');
    const ScanConversion conversion =
        convertScan(charsets_, bytes.c_str(), bytes.size() + 1, converted.data(), converted.size() - 1);
    Scan finished{std::string(converted.data()), bytes.size(), conversion.replaced, conversion.cutAt};
    finished.symbology = scan.symbology;
    finished.partial = !scan.whole;
    finish(std::move(finished));
}
