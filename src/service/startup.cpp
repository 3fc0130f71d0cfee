#include "service/startup.h"

#include "process_checks.h"
#include "startup_advice.h"
#include "console/console_lines.h"
#include "scanners/relay_buffers.h"
#include "scanners/scanner_advice.h"
#include "scanners/serial_port.h"
#include "service/options.h"
#include "text/charset.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

StartupOutcome exitWith(int status, uid_t originalUid = 0) { return {false, status, originalUid}; }

// The message that announces a conversion mode, or null for one that is not
// supported.
const char* modeAnnouncement(int mode) {
    switch (mode) {
    case 0: return "已选择pdf417";
    case 1: return "已经选择QR";
    case 2: return "已经选择gb18030 to utf-8";
    default: return nullptr;
    }
}

// Text that is not wholly a number is read as far as it is one (as 0 when
// not at all), as it always was, with a warning naming it: a unit named
// tirnserial@O (the letter) must not pass for mode 0 unnoticed.
int conversionMode(const char* argument) {
    const int mode = parseConversionMode(argument);
    char* end = nullptr;
    strtoll(argument, &end, 10);
    if (end == argument || *end != '\0')
        consoleErr(LineKind::Warning,
                   "TirnSerial: warning: the mode '%s' is not a number: read as mode %d (see --help)\n", argument,
                   mode);
    return mode;
}

// The serial scanner's port could not be opened or set up: the lines above
// said how, in the port's words; this one says what to do.
StartupOutcome portUnusable(const std::string& device, uid_t originalUid) {
    const int error = errno;
    consoleOut(LineKind::Chatter, "init_com error\n");
    adviseOnUnreadableScanner(device, strerror(error));
    return exitWith(-1, originalUid);
}

}  // namespace

StartupOutcome runStartup(int argc, char** argv, RelayBuffers& buffers, const Options& options) {
    if (IsProceRunning()) {
        consoleOut(LineKind::Chatter, "程序已经打开，请勿重复打开!\n");
        adviseOnSecondCopy(otherCopyPid());
        return exitWith(-1);
    }
    consoleOut(LineKind::Chatter, "程序打开成功!\n");
    buffers.wipe();

    const uid_t originalUid = getuid();
    if (setuid(0) != 0) {
        consoleOut(LineKind::Chatter, "the switch to root user failed!\n");
        adviseOnMissingRoot();
        return exitWith(-1, originalUid);
    }
    if (argc < 2) {
        consoleErr(LineKind::Chatter, "SUAGE:please input the port and baudrate\n");
        consoleErr(LineKind::Error, "TirnSerial: the mode is missing: TirnSerial MODE [OPTIONS], the mode 0, 1 or 2 "
                                    "(see --help)\n");
        return exitWith(kExitMalformedCommandLine, originalUid);
    }

    consoleOut(LineKind::Chatter, "port = %d\n", 0);
    const SerialLine& line = serialLineOf(options, options.device);
    consoleOut(LineKind::Chatter, "baud = %d\n", line.baud);
    SelectEncoding = conversionMode(argv[1]);
    const char* announcement = modeAnnouncement(SelectEncoding);
    if (announcement == nullptr) {
        consoleOut(LineKind::Chatter, "码制不支持\n");
        consoleErr(LineKind::Error, "TirnSerial: the mode must be 0, 1 or 2 (see --help)\n");
        return exitWith(kExitMalformedCommandLine, originalUid);
    }
    consoleOut(LineKind::Chatter, "%s\n", announcement);
    consoleOut(LineKind::EventsOnly, "TirnSerial %s starting in mode %d\n", TIRN_VERSION, SelectEncoding);

    // (Keyboard and HID scanners are opened with the others after start-up.)
    if (options.device.empty()) return {true, 0, originalUid};
    if (init_com(options.device.c_str(), line) < 0) return portUnusable(options.device, originalUid);
    consoleOut(LineKind::EventsOnly, "serial scanner %s: reading it\n", options.device.c_str());
    return {true, 0, originalUid};
}
