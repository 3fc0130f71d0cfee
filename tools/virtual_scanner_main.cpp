// tirn-virtual-scanner: plays a barcode scanner on a pseudo-terminal, so
// that TirnSerial can be tried and tested without hardware.
#include "keyboard_records.h"
#include "virtual_scanner.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] =
    "usage: tirn-virtual-scanner [options] [BARCODE...]\n"
    "Types each BARCODE (UTF-8 text), or else each line of standard input, as one scan.\n"
    "  --kind serial|keyboard\n"
    "                     a serial scanner on a pty, or a keyboard-mode scanner (US layout)\n"
    "                     whose input event records go through a FIFO (default serial)\n"
    "  --link PATH        where the scanner appears (default /dev/ttyUSB0, or\n"
    "                     /dev/input/by-id/virtual-scanner-event-kbd for a keyboard)\n"
    "  --mode N           code page of TirnSerial's mode N: 0 or 1 GB2312, 2 GB18030 (default 0)\n"
    "  --suffix TEXT      sent after each scan; \\r and \\n are understood (default \\r)\n"
    "  --interval-ms MS   pause between scans (default 300)\n"
    "  --adapter MODEL    how the bytes arrive (default instant, as a pty delivers them):\n"
    "                     line   byte by byte at 115200 bit/s, 86.8 us a byte\n"
    "                     ftdi   62-byte packets, the rest after the 16 ms latency timer\n"
    "                     ch340  up to 32 bytes each 1 ms USB frame\n"
    "                     cp210x up to 64 bytes each 1 ms USB frame\n"
    "  --char-gap-us US   the scanner's pause after each character (default 0)\n"
    "  --repeat           type the barcodes again and again\n"
    "  --hold             stay plugged in after the last scan until stopped\n";

struct Options {
    bool keyboard = false;
    std::string link;
    int mode = 0;
    std::string suffix = "\r";
    int intervalMs = 300;
    Pacing pacing;
    bool repeat = false;
    bool hold = false;
    std::vector<std::string> barcodes;
};

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'r' || text[i + 1] == 'n')) {
            out += text[++i] == 'r' ? '\r' : '\n';
        } else {
            out += text[i];
        }
    }
    return out;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--kind" && hasValue) {
            const std::string kind = argv[++i];
            if (kind != "serial" && kind != "keyboard") return false;
            options.keyboard = kind == "keyboard";
        }
        else if (arg == "--link" && hasValue) options.link = argv[++i];
        else if (arg == "--mode" && hasValue) options.mode = atoi(argv[++i]);
        else if (arg == "--suffix" && hasValue) options.suffix = unescape(argv[++i]);
        else if (arg == "--interval-ms" && hasValue) options.intervalMs = atoi(argv[++i]);
        else if (arg == "--adapter" && hasValue) {
            const auto adapter = adapterNamed(argv[++i]);
            if (!adapter) return false;
            options.pacing.adapter = *adapter;
        }
        else if (arg == "--char-gap-us" && hasValue) options.pacing.charGap = std::chrono::microseconds(atol(argv[++i]));
        else if (arg == "--repeat") options.repeat = true;
        else if (arg == "--hold") options.hold = true;
        else if (arg == "--help" || arg == "-h" || arg.rfind("--", 0) == 0) return false;
        else options.barcodes.push_back(arg);
    }
    if (options.link.empty())
        options.link = options.keyboard ? "/dev/input/by-id/virtual-scanner-event-kbd" : "/dev/ttyUSB0";
    return options.mode >= 0 && options.mode <= 2;
}

// The scanner of either kind behind one door.
struct AnyScanner {
    std::unique_ptr<VirtualScanner> serial;
    std::unique_ptr<VirtualKeyboardScanner> keyboard;

    bool pluggedIn() const { return serial ? serial->pluggedIn() : keyboard->pluggedIn(); }
};

enum class Typed {
    Done,
    Refused,  // the text cannot be typed; the next one may be
    Failed,   // nobody takes the scans any more
};

// Whether the keyboard can type the text; one line saying so when not.
bool typeableOnKeyboard(const Options& options, const std::string& text) {
    if (typeable(text + options.suffix)) return true;
    fprintf(stderr, "tirn-virtual-scanner: \"%s\" has characters that neither the US layout nor Windows-1252 has\n",
            text.c_str());
    return false;
}

Typed typeOnKeyboard(VirtualKeyboardScanner& keyboard, const Options& options, const std::string& text) {
    if (!typeableOnKeyboard(options, text)) return Typed::Refused;
    if (!keyboard.type(text + options.suffix)) {
        fprintf(stderr, "tirn-virtual-scanner: the scanner's FIFO refused the scan\n");
        return Typed::Failed;
    }
    printf("typed %s\n", text.c_str());
    fflush(stdout);
    return Typed::Done;
}

Typed typeScan(AnyScanner& any, const Options& options, const std::string& text) {
    if (any.keyboard) return typeOnKeyboard(*any.keyboard, options, text);
    VirtualScanner& scanner = *any.serial;
    const auto encoded = scannerEncoding(text, options.mode);
    if (!encoded) {
        fprintf(stderr, "tirn-virtual-scanner: \"%s\" has characters that mode %d's code page lacks\n",
                text.c_str(), options.mode);
        return Typed::Done;
    }
    if (!scanner.type(*encoded + options.suffix, options.pacing)) {
        fprintf(stderr, "tirn-virtual-scanner: the scanner's pty refused the scan\n");
        return Typed::Failed;
    }
    printf("typed %s\n", text.c_str());
    fflush(stdout);
    return Typed::Done;
}

volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 2;
    }
    signal(SIGINT, requestStop);
    signal(SIGTERM, requestStop);
    signal(SIGPIPE, SIG_IGN);

    if (options.keyboard)
        for (const auto& barcode : options.barcodes)
            if (!typeableOnKeyboard(options, barcode)) return 1;

    AnyScanner scanner;
    if (options.keyboard) scanner.keyboard = std::make_unique<VirtualKeyboardScanner>(options.link);
    else scanner.serial = std::make_unique<VirtualScanner>(options.link);
    if (!scanner.pluggedIn()) {
        fprintf(stderr, "tirn-virtual-scanner: cannot make %s: %s\n", options.link.c_str(), strerror(errno));
        return 1;
    }
    printf("scanner plugged in: %s -> %s\n", options.link.c_str(),
           scanner.serial ? scanner.serial->devicePath().c_str() : "a FIFO of input event records");
    fflush(stdout);

    const auto betweenScans = std::chrono::milliseconds(options.intervalMs);
    bool refused = false;  // a line that could not be typed
    // A scanner cannot scan twice within the interval, however fast the
    // lines come; without the pause two scans would run into one burst.
    auto scan = [&](const std::string& text) {
        const Typed typed = typeScan(scanner, options, text);
        refused = refused || typed == Typed::Refused;
        if (typed == Typed::Done) std::this_thread::sleep_for(betweenScans);
        return typed != Typed::Failed;
    };
    if (options.barcodes.empty()) {
        for (std::string line; !stopRequested && std::getline(std::cin, line);)
            if (!scan(line)) return 1;
    } else {
        do {
            for (const auto& barcode : options.barcodes) {
                if (stopRequested) break;
                if (!scan(barcode)) return 1;
            }
        } while (options.repeat && !stopRequested);
    }
    while (options.hold && !stopRequested) pause();
    return refused ? 1 : 0;
}
