#include "service/options.h"

#include "console/console_lines.h"
#include "server/origin_policy.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: TirnSerial MODE [OPTIONS]\n"
    "Relays barcode scans from a serial scanner to WebSocket clients on port 9010.\n"
    "MODE: 0 GB2312 scanner, UTF-8 to clients; 1 GB2312 scanner, GBK to clients (which\n"
    "      standard WebSocket clients refuse as invalid text: for clients of your own);\n"
    "      2 GB18030 scanner, UTF-8 to clients.\n"
    "Options:\n"
    "  --device [serial:|keyboard:|hidpos:]PATH\n"
    "                  a scanner: its serial port, input event device (a keyboard-mode\n"
    "                  scanner) or hidraw device (a HID POS scanner, usage page 0x8C); without\n"
    "                  a prefix the kind follows the device; repeat for several scanners\n"
    "                  (default /dev/ttyUSB0)\n"
    "                  Settings may follow the path after commas, in any order (a comma in\n"
    "                  PATH always starts them): name=NAME, what clients see as the scans'\n"
    "                  scanner instead of the path (1 to 32 letters, digits, - _ or .,\n"
    "                  one scanner's; default: none, the path); aim, the scanner sends AIM\n"
    "                  symbology identifiers; gs1, it sends GS1 data without them; and a\n"
    "                  serial scanner's own speed, format and flow control:\n"
    "                  serial:/dev/ttyUSB1,9600,7E1,rtscts,name=till-1\n"
    "  --baud N        serial scanners' speed in bit/s: 1200, 1800, 2400, 4800, 9600, 19200,\n"
    "                  38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000,\n"
    "                  1152000, 1500000, 2000000, 2500000, 3000000, 3500000 or 4000000\n"
    "                  (default 115200)\n"
    "  --serial-format FORMAT\n"
    "                  serial scanners' data bits (7 or 8), parity (N none, E even, O odd) and\n"
    "                  stop bits (1 or 2): 8N1, 7E1, 7O1, 8E1, 8O1, 8N2, 7E2 ... (default 8N1)\n"
    "  --flow none|rtscts|xonxoff\n"
    "                  serial scanners' flow control: none, the RTS/CTS lines or XON/XOFF\n"
    "                  characters (default none)\n"
    "  --keymap LAYOUT keyboard scanners' layout as the system's keymaps name it: us, fr,\n"
    "                  de, fr(azerty) ... (default us)\n"
    "  --alt-codepage NAME\n"
    "                  the code page of characters keyboard scanners type as Alt and a number\n"
    "                  on the keypad; with a leading 0, Windows-1252 (default cp437)\n"
    "  --gap-ms N      a scan ends after N ms without a byte, 1 to 1000 (default 30, raised\n"
    "                  to three characters' time of the slowest serial line when that is\n"
    "                  longer; a shorter N given is kept, with a warning)\n"
    "  --end-on BYTE   a scan also ends right after BYTE: cr, lf or 0xHH (default: none)\n"
    "  --charset NAME  the scanner's charset, any name iconv knows: utf-8, shift_jis, big5,\n"
    "                  euc-kr, iso-8859-1, gb18030 ... (default: the mode's, GB2312 or GB18030)\n"
    "  --invalid stop|replace\n"
    "                  bytes the charset rejects end the scan's text (stop, the default;\n"
    "                  counted, and said once a minute at most) or become U+FFFD (? in\n"
    "                  mode 1) and the rest follows (replace)\n"
    "  --bind ADDR     the address clients connect to, IPv4 or IPv6 (default 0.0.0.0, every\n"
    "                  IPv4 interface; 127.0.0.1 for this machine only)\n"
    "  --port N        the port for WebSocket clients and the web page (default 9010)\n"
    "  --allow-origin ORIGIN\n"
    "                  a web page that may subscribe, as scheme://host[:port]; repeat for\n"
    "                  more (default: any page; the service's own page always may)\n"
    "  --server-name NAME\n"
    "                  a name this box is reached by, besides its host name, localhost and\n"
    "                  its addresses; with --allow-origin, requests naming any other host\n"
    "                  are refused; repeat for more (default: none)\n"
    "  --token-file FILE\n"
    "                  subscribing takes a message that is exactly the token on the file's\n"
    "                  first line, and /status and /metrics take it as a Bearer token\n"
    "                  (default: none, anyone who reaches the port may)\n"
    "  --tls-cert FILE --tls-key FILE\n"
    "                  speak TLS only, wss:// and https://, with this PEM certificate (its\n"
    "                  chain may follow it) and unencrypted key; SIGHUP reloads both\n"
    "                  (default: plain)\n"
    "  --tls-min 1.2|1.3\n"
    "                  the oldest TLS version served (default 1.2)\n"
    "  --mqtt URL      publish every scan to this MQTT broker as well, mqtt://host[:port] or\n"
    "                  mqtts://host[:port] (default: none)\n"
    "  --mqtt-credentials FILE\n"
    "                  user:password for the broker on the file's first line (default: none)\n"
    "  --mqtt-cafile FILE\n"
    "                  mqtts:// only: trust the broker's certificate if this PEM file's CA\n"
    "                  signed it, instead of the system's CAs (default: the system's)\n"
    "  --mqtt-cert FILE --mqtt-key FILE\n"
    "                  mqtts:// only: this box's client certificate (PEM, its chain may\n"
    "                  follow it) and unencrypted key, for brokers that ask for one\n"
    "                  (default: none)\n"
    "  --mqtt-topic TOPIC\n"
    "                  where scans go (default tirnserial/<hostname>/scan; the retained\n"
    "                  online/offline status goes beside it, to .../status); a whole level\n"
    "                  {scanner} is each scan's scanner name, a topic per scanner, for which\n"
    "                  every scanner needs a name (shop/{scanner}/scans; status: shop/status)\n"
    "  --mqtt-qos 0|1  the scans' MQTT quality of service (default 1)\n"
    "  --mqtt-queue N  scans kept while the broker is away, 1 to 1000000; the oldest go\n"
    "                  first (default 10000)\n"
    "  --mqtt-client-id ID\n"
    "                  the client id, the same on every start so that a restart takes over\n"
    "                  the old session (default tirnserial-<hostname>-<first 8 digits of\n"
    "                  /etc/machine-id>)\n"
    "  --history N     the last scans kept for clients that come back, 0 to 10000\n"
    "                  (default 1000)\n"
    "  --state-dir DIR where the scans' numbers and their history are kept (history.db),\n"
    "                  and scans wait for the broker across restarts and power cuts\n"
    "                  (outbox.db; default /var/lib/tirnserial)\n"
    "  --aim-ids       every scanner sends AIM symbology identifiers, as aim after its\n"
    "                  path says for one (default: only those with aim)\n"
    "  --log all|events|warnings\n"
    "                  what the console shows: every line (all, the default); what an admin\n"
    "                  follows, in English, with the clients once a minute and never a\n"
    "                  scan (events); warnings and errors only (warnings)\n"
    "  --help          show this text and exit\n"
    "  --version       show the version and exit\n";

constexpr long kMinGapMs = 1;
// Each kept scan is some hundred bytes in memory and on disk, and a client
// that comes back after longer than this is better served by a missed
// notice than by a flood.
constexpr std::size_t kMaxHistory = 10000;
constexpr long kMaxGapMs = 1000;

enum OptionId {
    kDevice = 1000, kKeymap, kAltCodepage, kGapMs, kEndOn, kCharset, kInvalid, kBind, kPort, kAllowOrigin,
    kServerName, kTokenFile, kTlsCert, kTlsMin, kTlsKey, kMqtt, kMqttCredentials, kMqttCafile, kMqttCert, kMqttKey,
    kMqttTopic, kMqttQos, kMqttQueue, kMqttClientId, kStateDir, kHistory, kLog, kHelp, kVersion, kBaud, kSerialFormat,
    kFlow, kAimIds
};

const option kLongOptions[] = {
    {"device", required_argument, nullptr, kDevice},
    {"baud", required_argument, nullptr, kBaud},
    {"serial-format", required_argument, nullptr, kSerialFormat},
    {"flow", required_argument, nullptr, kFlow},
    {"keymap", required_argument, nullptr, kKeymap},
    {"alt-codepage", required_argument, nullptr, kAltCodepage},
    {"gap-ms", required_argument, nullptr, kGapMs},
    {"end-on", required_argument, nullptr, kEndOn},
    {"charset", required_argument, nullptr, kCharset},
    {"invalid", required_argument, nullptr, kInvalid},
    {"bind", required_argument, nullptr, kBind},
    {"port", required_argument, nullptr, kPort},
    {"allow-origin", required_argument, nullptr, kAllowOrigin},
    {"server-name", required_argument, nullptr, kServerName},
    {"token-file", required_argument, nullptr, kTokenFile},
    {"tls-cert", required_argument, nullptr, kTlsCert},
    {"tls-min", required_argument, nullptr, kTlsMin},
    {"tls-key", required_argument, nullptr, kTlsKey},
    {"mqtt", required_argument, nullptr, kMqtt},
    {"mqtt-credentials", required_argument, nullptr, kMqttCredentials},
    {"mqtt-cafile", required_argument, nullptr, kMqttCafile},
    {"mqtt-cert", required_argument, nullptr, kMqttCert},
    {"mqtt-key", required_argument, nullptr, kMqttKey},
    {"mqtt-topic", required_argument, nullptr, kMqttTopic},
    {"mqtt-qos", required_argument, nullptr, kMqttQos},
    {"mqtt-queue", required_argument, nullptr, kMqttQueue},
    {"mqtt-client-id", required_argument, nullptr, kMqttClientId},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"history", required_argument, nullptr, kHistory},
    {"log", required_argument, nullptr, kLog},
    {"aim-ids", no_argument, nullptr, kAimIds},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

CommandLine malformed(const char* format, const char* what) {
    consoleErr(LineKind::Error, "TirnSerial: ");
    consoleErr(LineKind::Error, format, what);
    consoleErr(LineKind::Error, " (see TirnSerial --help)\n");
    return {CommandLineVerdict::Malformed, {}};
}

// The same where a step says false for a bad value.
bool refused(const char* format, const char* what) {
    malformed(format, what);
    return false;
}

CommandLine answered(const char* text) {
    fputs(text, stdout);
    return {CommandLineVerdict::Done, {}};
}

CommandLine versionAnswered() {
    printf("TirnSerial %s\n", TIRN_VERSION);
    return {CommandLineVerdict::Done, {}};
}

std::optional<long> wholeNumber(const char* text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return std::nullopt;
    return value;
}

std::optional<unsigned char> endByte(const char* text) {
    if (strcmp(text, "cr") == 0) return '\r';
    if (strcmp(text, "lf") == 0) return '\n';
    if (strlen(text) != 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = strtoul(text + 2, &end, 16);
    if (*end != '\0' || !isxdigit(static_cast<unsigned char>(text[2]))) return std::nullopt;
    return static_cast<unsigned char>(value);
}

// An IPv4 or IPv6 address, IPv6 with or without brackets; without them.
std::optional<std::string> bindAddress(std::string text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    unsigned char address[sizeof(in6_addr)];
    if (inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1)
        return text;
    return std::nullopt;
}

std::optional<LogLevel> logLevel(const char* text) {
    if (strcmp(text, "all") == 0) return LogLevel::All;
    if (strcmp(text, "events") == 0) return LogLevel::Events;
    if (strcmp(text, "warnings") == 0) return LogLevel::Warnings;
    return std::nullopt;
}

void warnIgnored(char** first, char** last) {
    consoleErr(LineKind::Warning, "TirnSerial: warning: ignoring");
    for (char** word = first; word != last; ++word) consoleErr(LineKind::Warning, " '%s'", *word);
    consoleErr(LineKind::Warning, " after the mode\n");
}

// The option as the user wrote it, for messages.
std::string spelled(char** argv) {
    if (optopt != 0 && optopt < kDevice) return std::string("-") + static_cast<char>(optopt);
    return argv[optind - 1];
}

// The options of publishing to an MQTT broker: Malformed for a bad value.
CommandLineVerdict takeMqttOption(int id, const char* value, MqttSettings& mqtt) {
    switch (id) {
    case kMqtt:
        if (!parseBrokerUrl(value, mqtt))
            return malformed("--mqtt takes mqtt://host[:port] or mqtts://host[:port] (credentials go in "
                             "--mqtt-credentials FILE), not '%s'", value).verdict;
        break;
    case kMqttCredentials:
        if (*value == '\0') return malformed("--mqtt-credentials needs a file%s", "").verdict;
        mqtt.credentials = value;
        break;
    case kMqttCafile:
    case kMqttCert:
    case kMqttKey:
        if (*value == '\0')
            return malformed("%s needs a file", id == kMqttCafile ? "--mqtt-cafile" : id == kMqttCert ? "--mqtt-cert"
                                                                                                     : "--mqtt-key")
                .verdict;
        (id == kMqttCafile ? mqtt.caFile : id == kMqttCert ? mqtt.certificate : mqtt.key) = value;
        break;
    case kMqttTopic:
        if (!publishableTopic(value))
            return malformed("--mqtt-topic takes a topic of valid UTF-8, at most 65528 bytes, without + or #, not '%s'",
                             value).verdict;
        if (!scannerLevelWhole(value))
            return malformed("--mqtt-topic: {scanner} is a whole topic level (shop/{scanner}/scans), not part of "
                             "one, in '%s'", value).verdict;
        mqtt.topic = value;
        break;
    case kMqttQos: {
        const auto qos = wholeNumber(value, 0, 1);
        if (!qos) return malformed("--mqtt-qos takes 0 or 1, not '%s'", value).verdict;
        mqtt.qos = static_cast<int>(*qos);
        break;
    }
    case kMqttQueue: {
        const auto limit = wholeNumber(value, 1, 1000000);
        if (!limit) return malformed("--mqtt-queue takes a whole number from 1 to 1000000, not '%s'", value).verdict;
        mqtt.queueLimit = static_cast<std::size_t>(*limit);
        break;
    }
    case kMqttClientId:
        if (!validMqttString(value, 65535))
            return malformed("--mqtt-client-id takes an id of valid UTF-8, at most 65535 bytes, not '%s'", value)
                .verdict;
        mqtt.clientId = value;
        break;
    case kStateDir:
        if (*value == '\0') return malformed("--state-dir needs a directory%s", "").verdict;
        mqtt.stateDir = value;
        break;
    }
    return CommandLineVerdict::Serve;
}

// The broker's CA and this box's certificate: for mqtts://, and a
// certificate only with its key.
bool mqttTrustSettled(const MqttSettings& mqtt) {
    if (!mqtt.tls && (!mqtt.caFile.empty() || !mqtt.certificate.empty() || !mqtt.key.empty())) {
        malformed("%s", "--mqtt-cafile, --mqtt-cert and --mqtt-key need an mqtts:// broker");
        return false;
    }
    if (mqtt.certificate.empty() != mqtt.key.empty()) {
        malformed("%s", mqtt.key.empty() ? "--mqtt-cert needs --mqtt-key too" : "--mqtt-key needs --mqtt-cert too");
        return false;
    }
    return true;
}

// The settings after a scanner's path: name=, aim and gs1 for every kind,
// and a serial scanner's own line settings, which are kept in ownSettings
// to be laid over the command line's once that is read. False, with one
// line said, for a bad one.
bool takeDeviceSettings(const std::string& text, std::size_t comma, ScannerDevice& device) {
    std::string lineSettings;
    bool lineGiven = false;  // an empty one too, which the line's own check refuses
    for (std::size_t start = comma + 1;; start = comma + 1) {
        comma = text.find(',', start);
        const std::string setting = text.substr(start, comma - start);
        std::string problem;
        if (!takeScannerSetting(setting, device, problem)) {
            if (!problem.empty()) return refused("%s", ("--device " + text + ": " + problem).c_str());
            if (device.kind != ScannerKind::Serial)
                return refused("--device %s: speed, format and flow control after a comma are for serial "
                                  "scanners only (other scanners take name=NAME, aim and gs1)", text.c_str());
            lineSettings += (lineGiven ? "," : "") + setting;
            lineGiven = true;
        }
        if (comma == std::string::npos) break;
    }
    SerialLine checked;
    std::string problem;
    if (lineGiven && !applyLineSettings(lineSettings, checked, problem))
        return refused("%s", ("--device " + text + ": " + problem).c_str());
    device.ownSettings = lineSettings;
    return true;
}

bool takeDevice(const char* value, Options& options) {
    const std::string text = value;
    const auto comma = text.find(',');
    auto device = parseScannerDevice(text.substr(0, comma));
    if (!device) return refused("--device takes [serial:|keyboard:|hidpos:]PATH[,SETTINGS], not '%s'", value);
    if (comma != std::string::npos && !takeDeviceSettings(text, comma, *device)) return false;
    options.devices.push_back(*device);
    return true;
}

// --device and the serial line options: Malformed for a bad value.
CommandLineVerdict takeSerialOption(int id, const char* value, Options& options) {
    switch (id) {
    case kDevice:
        if (!takeDevice(value, options)) return CommandLineVerdict::Malformed;
        break;
    case kBaud: {
        const auto baud = parseBaud(value);
        if (!baud) return malformed("--baud takes a speed termios offers from 1200 to 4000000 (9600, 19200, "
                                    "115200 ...), not '%s'", value).verdict;
        options.serialLine.baud = *baud;
        break;
    }
    case kSerialFormat:
        if (!parseSerialFormat(value, options.serialLine))
            return malformed("--serial-format takes data bits (7 or 8), parity (N, E or O) and stop bits (1 or 2): "
                             "8N1, 7E1, 8E1, 8N2 ..., not '%s'", value).verdict;
        break;
    case kFlow: {
        const auto flow = parseFlowControl(value);
        if (!flow) return malformed("--flow takes none, rtscts or xonxoff, not '%s'", value).verdict;
        options.serialLine.flow = *flow;
        break;
    }
    }
    return CommandLineVerdict::Serve;
}

// The scan gap left at its default covers three characters of the slowest
// serial line; a gap given that does not is kept, with a warning.
void settleScanGap(Options& options, bool gapGiven) {
    for (const ScannerDevice& device : options.devices) {
        if (device.kind != ScannerKind::Serial) continue;
        const auto threeCharacters = threeCharacterTimes(device.line);
        if (threeCharacters <= options.scanGap) continue;
        if (!gapGiven) {
            options.scanGap = threeCharacters;
            continue;
        }
        consoleErr(LineKind::Warning,
                   "TirnSerial: warning: --gap-ms %ld is shorter than three characters on %s (%ld ms at %d bit/s): "
                   "its scans may arrive cut apart\n",
                   static_cast<long>(options.scanGap.count()), device.path.c_str(),
                   static_cast<long>(threeCharacters.count()), device.line.baud);
    }
}

// The default scanner when none is given, its line settings, and the serial
// port start-up opens: the first serial scanner's. False, with one line
// said, for a scanner named twice.
bool takeDevices(Options& options) {
    if (options.devices.empty()) options.devices.push_back({ScannerKind::Serial, options.device});
    options.device.clear();
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        ScannerDevice& device = options.devices[i];
        device.line = options.serialLine;
        std::string problem;  // none: they were checked as --device was read
        if (!device.ownSettings.empty()) applyLineSettings(device.ownSettings, device.line, problem);
        device.aimIds = device.aimIds || options.aimIds;
        for (std::size_t earlier = 0; earlier < i; ++earlier) {
            if (options.devices[earlier].path == device.path)
                return refused("--device %s is named twice", device.path.c_str());
            if (!device.name.empty() && options.devices[earlier].name == device.name)
                return refused("two scanners are named %s: each name is one scanner's", device.name.c_str());
        }
        if (device.kind == ScannerKind::Serial && options.device.empty()) options.device = device.path;
    }
    return true;
}

// A topic per scanner takes each scanner's name, and none of them may be
// the status topic.
bool scannerTopicsSettled(const Options& options) {
    if (!options.mqtt.enabled() || !options.mqtt.topicPerScanner()) return true;
    for (const ScannerDevice& device : options.devices) {
        if (device.name.empty())
            return refused("--mqtt-topic with {scanner} needs every scanner named: --device %s,name=NAME",
                           device.path.c_str());
        if (!publishableTopic(options.mqtt.topicFor(device.name)))
            return refused("--mqtt-topic: with scanner %s in it the topic is longer than MQTT allows",
                           device.name.c_str());
        if (options.mqtt.topicFor(device.name) == options.mqtt.statusTopic())
            return refused("--mqtt-topic: scanner %s would publish to the status topic; name it otherwise",
                           device.name.c_str());
    }
    return true;
}

}  // namespace

const SerialLine& serialLineOf(const Options& options, const std::string& path) {
    for (const ScannerDevice& device : options.devices)
        if (device.kind == ScannerKind::Serial && device.path == path) return device.line;
    return options.serialLine;
}

CommandLine parseCommandLine(int argc, char** argv) {
    if (argc < 2) return {CommandLineVerdict::Serve, {}};
    if (strcmp(argv[1], "--help") == 0) return answered(kUsage);
    if (strcmp(argv[1], "--version") == 0) return versionAnswered();
    if (strncmp(argv[1], "--", 2) == 0)
        return malformed("the mode comes first: TirnSerial MODE [OPTIONS], not %s", argv[1]);

    CommandLine result;
    result.verdict = CommandLineVerdict::Serve;
    Options& options = result.options;
    // Words between the mode and the first option were always ignored.
    optind = 2;
    while (optind < argc && argv[optind][0] != '-') ++optind;
    const int firstOption = optind;
    opterr = 0;
    bool mqttDetails = false;  // an --mqtt-... option, which needs --mqtt
    bool gapGiven = false;
    // "+": stop at the first word that is no option, and refuse it below.
    for (int id; (id = getopt_long(argc, argv, "+:", kLongOptions, nullptr)) != -1;) {
        mqttDetails = mqttDetails || (id >= kMqttCredentials && id <= kMqttClientId);
        switch (id) {
        case kDevice:
        case kBaud:
        case kSerialFormat:
        case kFlow:
            if (takeSerialOption(id, optarg, options) == CommandLineVerdict::Malformed)
                return {CommandLineVerdict::Malformed, {}};
            break;
        case kKeymap: {
            std::string problem;
            if (!keyboardLayoutKnown(optarg, problem)) return malformed("--keymap: %s", problem.c_str());
            options.keyboard.layout = optarg;
            break;
        }
        case kAltCodepage:
            if (!knownCharset(optarg) || strstr(optarg, "//") != nullptr)
                return malformed("--alt-codepage: iconv knows no charset named '%s'", optarg);
            options.keyboard.altCodepage = optarg;
            break;
        case kGapMs: {
            const auto gap = wholeNumber(optarg, kMinGapMs, kMaxGapMs);
            if (!gap) return malformed("--gap-ms takes a whole number from 1 to 1000, not '%s'", optarg);
            options.scanGap = std::chrono::milliseconds(*gap);
            gapGiven = true;
            break;
        }
        case kEndOn:
            options.endOn = endByte(optarg);
            if (!options.endOn) return malformed("--end-on takes cr, lf or a byte as 0xHH, not '%s'", optarg);
            break;
        case kCharset:
            if (strstr(optarg, "//") != nullptr)
                return malformed("--charset takes a charset without //IGNORE or //TRANSLIT (--invalid says what "
                                 "becomes of rejected bytes), not '%s'", optarg);
            if (!knownCharset(optarg)) return malformed("--charset: iconv knows no charset named '%s'", optarg);
            options.charsets.scanner = optarg;
            break;
        case kInvalid:
            if (strcmp(optarg, "stop") == 0) options.charsets.invalid = InvalidBytes::Stop;
            else if (strcmp(optarg, "replace") == 0) options.charsets.invalid = InvalidBytes::Replace;
            else return malformed("--invalid takes stop or replace, not '%s'", optarg);
            break;
        case kBind: {
            const auto address = bindAddress(optarg);
            if (!address) return malformed("--bind takes an IPv4 or IPv6 address, not '%s'", optarg);
            options.bindAddress = *address;
            break;
        }
        case kPort: {
            const auto port = wholeNumber(optarg, 1, 65535);
            if (!port) return malformed("--port takes a whole number from 1 to 65535, not '%s'", optarg);
            options.port = static_cast<unsigned short>(*port);
            break;
        }
        case kAllowOrigin: {
            const auto origin = normalizedOrigin(optarg);
            if (!origin) return malformed("--allow-origin takes http://host[:port] or https://host[:port], not '%s'", optarg);
            options.allowedOrigins.push_back(*origin);
            break;
        }
        case kServerName:
            if (!validServerName(optarg)) return malformed("--server-name takes a host name, not '%s'", optarg);
            options.serverNames.push_back(optarg);
            break;
        case kTokenFile:
            if (*optarg == '\0') return malformed("--token-file needs a file%s", "");
            options.tokenFile = optarg;
            break;
        case kTlsMin:
            if (strcmp(optarg, "1.2") != 0 && strcmp(optarg, "1.3") != 0)
                return malformed("--tls-min takes 1.2 or 1.3, not '%s'", optarg);
            options.tls.tls13Only = strcmp(optarg, "1.3") == 0;
            break;
        case kTlsCert:
        case kTlsKey:
            if (*optarg == '\0') return malformed("%s needs a file", id == kTlsCert ? "--tls-cert" : "--tls-key");
            (id == kTlsCert ? options.tls.certificate : options.tls.key) = optarg;
            break;
        case kMqtt:
        case kMqttCredentials:
        case kMqttCafile:
        case kMqttCert:
        case kMqttKey:
        case kMqttTopic:
        case kMqttQos:
        case kMqttQueue:
        case kMqttClientId:
        case kStateDir:
            if (takeMqttOption(id, optarg, options.mqtt) == CommandLineVerdict::Malformed)
                return {CommandLineVerdict::Malformed, {}};
            break;
        case kHistory: {
            const auto depth = wholeNumber(optarg, 0, static_cast<long>(kMaxHistory));
            if (!depth) return malformed("--history takes a whole number from 0 to 10000, not '%s'", optarg);
            options.historyDepth = static_cast<std::size_t>(*depth);
            break;
        }
        case kLog: {
            const auto level = logLevel(optarg);
            if (!level) return malformed("--log takes all, events or warnings, not '%s'", optarg);
            options.log = *level;
            break;
        }
        case kAimIds:
            options.aimIds = true;
            break;
        case kHelp: return answered(kUsage);
        case kVersion: return versionAnswered();
        case ':': return malformed("%s needs a value", spelled(argv).c_str());
        default: return malformed("unknown option %s", spelled(argv).c_str());
        }
    }
    if (optind < argc) {
        // A value that lost its option (two values given to one), or one
        // split by the shell or the defaults file's quoting.
        return malformed("'%s' is no option, nor the value of one (one value an option; quote values with blanks)",
                         argv[optind]);
    }
    if (!mqttTrustSettled(options.mqtt)) return {CommandLineVerdict::Malformed, {}};
    if (mqttDetails && !options.mqtt.enabled())
        return malformed("%s", "--mqtt-credentials, --mqtt-topic, --mqtt-qos, --mqtt-queue and --mqtt-client-id need --mqtt");
    if (options.mqtt.enabled() && options.mqtt.topic.empty()) options.mqtt.topic = defaultScanTopic();
    if (options.mqtt.enabled() && options.mqtt.clientId.empty()) options.mqtt.clientId = defaultClientId();
    if (options.tls.certificate.empty() != options.tls.key.empty())
        return malformed("%s", options.tls.key.empty() ? "--tls-cert needs --tls-key too" : "--tls-key needs --tls-cert too");
    if (options.tls.tls13Only && !options.tls.enabled()) return malformed("%s", "--tls-min needs --tls-cert and --tls-key");
    if (!takeDevices(options) || !scannerTopicsSettled(options)) return {CommandLineVerdict::Malformed, {}};
    settleScanGap(options, gapGiven);
    if (firstOption > 2) warnIgnored(argv + 2, argv + firstOption);
    return result;
}
