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

bool validScannerName(const std::string& name) {
    constexpr std::size_t kMaxNameLength = 32;
    if (name.empty() || name.size() > kMaxNameLength) return false;
    // ASCII only, whatever the locale says a letter is.
    for (const char c : name) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

bool takeScannerSetting(const std::string& setting, ScannerDevice& device, std::string& problem) {
    if (setting == "aim") return device.aimIds = true;
    if (setting == "gs1") return device.gs1 = true;
    if (setting.rfind("name=", 0) != 0) return false;
    if (!device.name.empty()) {
        problem = "a scanner has one name, not '" + device.name + "' and '" + setting.substr(5) + "'";
        return false;
    }
    device.name = setting.substr(5);
    if (!validScannerName(device.name)) {
        problem = "a scanner's name is 1 to 32 letters, digits, '-', '_' or '.', not '" + device.name + "'";
        return false;
    }
    return true;
}

const char* scannerKindName(ScannerKind kind) {
    switch (kind) {
    case ScannerKind::Keyboard: return "keyboard";
    case ScannerKind::HidPos: return "hidpos";
    case ScannerKind::Serial: break;
    }
    return "serial";
}
