#include "scanners/scanner_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <string_view>

namespace {

constexpr unsigned kInputMajor = 13;  // the kernel's INPUT_MAJOR

// The kind of the device at `path` by what the kernel says it is; serial
// when it is no input or hidraw device, or not there.
ScannerKind kindOfDevice(const std::string& path) {
    struct stat device {};
    if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        const bool inputName = path.find("/input/") != std::string::npos;
        return inputName ? ScannerKind::Keyboard
                         : path.find("hidraw") != std::string::npos ? ScannerKind::HidPos : ScannerKind::Serial;
    }
    if (major(device.st_rdev) == kInputMajor) return ScannerKind::Keyboard;
    const std::string sys = "/sys/dev/char/" + std::to_string(major(device.st_rdev)) + ":" +
                            std::to_string(minor(device.st_rdev));
    char target[PATH_MAX] = {};
    if (readlink(sys.c_str(), target, sizeof target - 1) > 0 &&
        std::string_view(target).find("/hidraw/") != std::string_view::npos)
        return ScannerKind::HidPos;
    return ScannerKind::Serial;
}

}  // namespace

std::optional<ScannerDevice> parseScannerDevice(const std::string& text) {
    for (ScannerKind kind : {ScannerKind::Serial, ScannerKind::Keyboard, ScannerKind::HidPos}) {
        const std::string prefix = std::string(scannerKindName(kind)) + ":";
        if (text.rfind(prefix, 0) != 0) continue;
        if (text.size() == prefix.size()) return std::nullopt;
        return ScannerDevice{kind, text.substr(prefix.size())};
    }
    if (text.empty()) return std::nullopt;
    return ScannerDevice{kindOfDevice(text), text};
}

const char* scannerKindName(ScannerKind kind) {
    switch (kind) {
    case ScannerKind::Keyboard: return "keyboard";
    case ScannerKind::HidPos: return "hidpos";
    case ScannerKind::Serial: break;
    }
    return "serial";
}
