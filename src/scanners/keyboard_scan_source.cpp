#include "keyboard_scan_source.h"

#include "device_wait.h"
#include "stop_notice.h"
#include "console/console.h"
#include "console/console_lines.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

std::string deviceName(int fd) {
    char name[256] = {};
    if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0) return "";
    return name;
}

// Whether key events can come from `fd`: an input event device answers
// EVIOCGVERSION. A tty or /dev/null would be read as if it were one, but
// give no events (every scan lost) or an end at once (the scanner "gone").
// A FIFO stands in for a keyboard in tests and demonstrations
// (tools/virtual_scanner), written input_event records.
bool inputEventDevice(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    if (S_ISFIFO(status.st_mode)) return true;
    int version = 0;
    return S_ISCHR(status.st_mode) && ioctl(fd, EVIOCGVERSION, &version) == 0;
}

// Text in UTF-8 into the clients' charset, as the conversion mode says.
Scan converted(const std::string& text, InvalidBytes invalid) {
    std::vector<char> output(text.size() * 2 + 16, '\0');
    const ScanConversion conversion =
        convertScan(ScanCharsets{"UTF-8", invalid}, text.c_str(), text.size() + 1, output.data(), output.size() - 1);
    return Scan{std::string(output.data()), text.size(), conversion.replaced, conversion.cutAt};
}

}  // namespace

std::unique_ptr<KeyboardScanSource> KeyboardScanSource::open(const std::string& path,
                                                             const KeyboardSettings& settings, InvalidBytes invalid,
                                                             ScanFraming framing, bool announce) {
    std::string problem;
    auto layout = KeyLayout::load(settings.layout, problem);
    if (!layout) {
        consoleOut(LineKind::Error, "keyboard scanner %s: %s\n", path.c_str(), problem.c_str());
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        consoleOut(LineKind::Error, "keyboard scanner %s: cannot open it: %s\n", path.c_str(), strerror(errno));
        return nullptr;
    }
    if (!inputEventDevice(fd)) {
        consoleOut(LineKind::Error,
                   "keyboard scanner %s: it is no input event device: name the scanner's /dev/input/event* device "
                   "(ls -l /dev/input/by-id/, the one ending in -event-kbd)\n",
                   path.c_str());
        close(fd);
        return nullptr;
    }
    if (ioctl(fd, EVIOCGRAB, 1) != 0)
        consoleErr(LineKind::Warning, "TirnSerial: warning: cannot take the keyboard scanner %s for ourselves (%s): "
                   "its keystrokes also reach the window in focus\n", path.c_str(), strerror(errno));
    auto source = std::unique_ptr<KeyboardScanSource>(
        new KeyboardScanSource(fd, path, std::move(layout), settings, invalid, std::move(framing)));
    if (announce)
        consoleOut(LineKind::Event, "keyboard scanner %s%s%s%s: reading it with the %s layout\n", path.c_str(),
                   source->name_.empty() ? "" : " (", source->name_.c_str(), source->name_.empty() ? "" : ")",
                   settings.layout.c_str());
    return source;
}

KeyboardScanSource::KeyboardScanSource(int fd, std::string path, std::unique_ptr<KeyLayout> layout,
                                       const KeyboardSettings& settings, InvalidBytes invalid, ScanFraming framing)
    : DeviceScanSource(fd, std::move(framing)), path_(std::move(path)), name_(deviceName(fd)),
      layout_(std::move(layout)), decoder_(*layout_, settings.altCodepage), invalid_(invalid) {}

std::chrono::milliseconds KeyboardScanSource::quietLimit() const {
    return decoder_.typing() ? framing().gap : framing().heartbeat;
}

// Whole records, kept whole across reads.
void KeyboardScanSource::takeBytes(const char* bytes, std::size_t length) {
    for (const input_event& record : records_.take(bytes, length)) keep(decoder_.take(record));
}

void KeyboardScanSource::endScanUnderWay() { keep(decoder_.endAtSilence()); }

void KeyboardScanSource::keep(const std::optional<std::string>& text) {
    if (decoder_.takeLoss())
        consoleOut(LineKind::Warning,
                   "keyboard scanner %s: events were lost (the reader fell behind); that scan is dropped\n",
                   path_.c_str());
    if (text) finish(converted(*text, invalid_));
}
