// The command line after the mode: TirnSerial MODE [OPTIONS].
#pragma once

#include "console/console_lines.h"
#include "fleet/mqtt_settings.h"
#include "scanners/keyboard_settings.h"
#include "scanners/scanner_device.h"
#include "server/tls_files.h"
#include "text/charset.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct Options {
    // The scanners, in the order given; none given: the serial port
    // /dev/ttyUSB0. Serial scanners also show up as /dev/ttyACM0 or under
    // /dev/serial/by-id/, keyboard scanners under /dev/input/by-id/.
    std::vector<ScannerDevice> devices;
    // The serial scanner's port, which start-up opens; empty when every
    // scanner is of another kind.
    std::string device = "/dev/ttyUSB0";
    // Every serial scanner's line unless its --device says otherwise.
    SerialLine serialLine;
    // How keyboard-mode scanners' keys become text.
    KeyboardSettings keyboard;
    // A scan ends once the scanner has sent nothing for this long. FTDI
    // adapters hold bytes back for up to 16 ms; 30 ms covers that and is far
    // below what a person notices. Unless given, it is raised to three
    // characters' time of the slowest serial line.
    std::chrono::milliseconds scanGap{30};
    // A scan also ends right after this byte, for scanners that upload stored
    // scans back to back.
    std::optional<unsigned char> endOn;
    // The scanner's charset, and what becomes of bytes it rejects.
    ScanCharsets charsets;
    // Where clients connect: every IPv4 interface unless told otherwise
    // (127.0.0.1 keeps a kiosk's scans on the kiosk).
    std::string bindAddress = "0.0.0.0";
    unsigned short port = 9010;
    // Web pages that may subscribe, by origin; none given, any page may.
    std::vector<std::string> allowedOrigins;
    // Names this box is reached by, besides its host name, loopback and its
    // addresses: where origins are checked, requests naming another host
    // are refused.
    std::vector<std::string> serverNames;
    // The file whose first line is the token that subscribing and reading
    // the figures take; none: no token.
    std::string tokenFile;
    // None: plain WebSocket and HTTP, as without TLS.
    TlsFiles tls;
    // None: no broker, only the WebSocket clients.
    MqttSettings mqtt;
    // How many of the last scans are kept for clients that come back (0:
    // none), in memory and in the state directory.
    std::size_t historyDepth = 1000;
    // Every scanner sends an AIM symbology identifier before each scan.
    bool aimIds = false;
    // Which console lines are shown.
    LogLevel log = LogLevel::All;
};

// What main does after reading the command line.
enum class CommandLineVerdict {
    Serve,       // go on with start-up
    Done,        // --help or --version answered: exit 0
    Malformed,   // one line on standard error said why: exit 2
};

struct CommandLine {
    CommandLineVerdict verdict;
    Options options;
};

constexpr int kExitMalformedCommandLine = 2;

// The line of the serial scanner at `path`; the command line's settings
// when there is none.
const SerialLine& serialLineOf(const Options& options, const std::string& path);

// Reads the options after the mode (argv[1], which start-up reads). Writes
// nothing unless the verdict is Done or Malformed.
CommandLine parseCommandLine(int argc, char** argv);
