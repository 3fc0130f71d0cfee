#include "service/startup.h"

#include "process_checks.h"
#include "scanners/relay_buffers.h"
#include "scanners/serial_port.h"
#include "service/options.h"
#include "text/charset.h"

#include <unistd.h>

#include <cstdio>

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

}  // namespace

StartupOutcome runStartup(int argc, char** argv, RelayBuffers& buffers, const Options& options) {
    if (IsProceRunning()) {
        puts("程序已经打开，请勿重复打开!");
        return exitWith(-1);
    }
    puts("程序打开成功!");
    buffers.wipe();

    const uid_t originalUid = getuid();
    if (setuid(0) != 0) {
        puts("the switch to root user failed!");
        return exitWith(-1, originalUid);
    }
    if (argc < 2) {
        static const char usage[] = "SUAGE:please input the port and baudrate\n";
        fwrite(usage, 1, sizeof usage - 1, stderr);
        return exitWith(0, originalUid);
    }

    printf("port = %d\n", 0);
    const SerialLine& line = serialLineOf(options, options.device);
    printf("baud = %d\n", line.baud);
    SelectEncoding = parseConversionMode(argv[1]);
    const char* announcement = modeAnnouncement(SelectEncoding);
    if (announcement == nullptr) {
        puts("码制不支持");
        return exitWith(0, originalUid);
    }
    puts(announcement);

    // (Keyboard and HID scanners are opened with the others after start-up.)
    if (!options.device.empty() && init_com(options.device.c_str(), line) < 0) {
        puts("init_com error");
        return exitWith(-1, originalUid);
    }
    return {true, 0, originalUid};
}
