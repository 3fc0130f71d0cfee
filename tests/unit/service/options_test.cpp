// The command line, origins and broker addresses as the service reads them.
#include "fleet/mqtt_settings.h"
#include "server/origin_policy.h"
#include "service/options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

struct Parsed {
    CommandLine line;
    std::string out, err;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "TirnSerial");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Parsed parsed{parseCommandLine(static_cast<int>(words.size()), argv.data()), "", ""};
    parsed.out = testing::internal::GetCapturedStdout();
    parsed.err = testing::internal::GetCapturedStderr();
    return parsed;
}

TEST(CommandLine, BadOptionsGetOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"0", "--gap-ms", "0"},    {"0", "--gap-ms", "1001"}, {"0", "--gap-ms", "5ms"},
        {"0", "--end-on", "tab"},  {"0", "--end-on", "0x1"},  {"0", "--device"},
        {"0", "--no-such-thing"},  {"--gap-ms", "5", "0"},    {"0", "--bind", "localhost"},
        {"0", "--port", "0"},      {"0", "--port", "65536"},  {"0", "--allow-origin", "pos.example"},
        {"0", "--charset", "klingon"}, {"0", "--invalid", "ignore"}, {"0", "--mqtt", "http://broker"},
        {"0", "--mqtt-qos", "1"}, {"0", "--mqtt", "mqtt://b", "--mqtt-qos", "2"},
        {"0", "--charset", "UTF-8//IGNORE"}, {"0", "--server-name", "bad name"}, {"0", "--tls-min", "1.1"},
        {"0", "--tls-cert", "c.pem"}, {"0", "--tls-min", "1.3"}, {"0", "--device", "keyboard:"},
        {"0", "--device", "/dev/ttyUSB0", "--device", "serial:/dev/ttyUSB0"}, {"0", "--keymap", "klingon"},
        {"0", "--alt-codepage", "klingon"}, {"0", "--baud", "600"}, {"0", "--baud", "4000001"},
        {"0", "--baud", "9600x"}, {"0", "--serial-format", "8N"}, {"0", "--serial-format", "9E1"},
        {"0", "--serial-format", "8M1"}, {"0", "--flow", "RTSCTS"}, {"0", "--device", "/dev/ttyUSB1,"},
        {"0", "--device", "/dev/ttyUSB1,9600,7E1,19200"}, {"0", "--device", "keyboard:/run/fifo,9600"},
        // Values that lost their option, as a defaults file's split quoting
        // leaves them.
        {"0", "--allow-origin", "https://a.example", "https://b.example"}, {"0", "--gap-ms", "5", "10"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "\"shop", "scans\""},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "shop/\xff"}, {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "a/+/b"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", std::string(65529, 't')},
        {"0", "--mqtt", "mqtt://b", "--mqtt-client-id", "till\xff"}, {"0", "--log", "debug"}, {"0", "--log"},
        {"0", "--history", "10001"}, {"0", "--history", "-1"}, {"0", "--history", "many"},
        // Scanner names: a word of at most 32 characters, one scanner's, and
        // every scanner's where the topic has a level per scanner.
        {"0", "--device", "/dev/ttyUSB1,name=till 1"}, {"0", "--device", "/dev/ttyUSB1,name="},
        {"0", "--device", "/dev/ttyUSB1,name=" + std::string(33, 'n')},
        {"0", "--device", "hidpos:/dev/hidraw0,aim,7E1"},
        {"0", "--device", "/dev/ttyUSB0,name=a", "--device", "/dev/ttyUSB1,name=a"},
        {"0", "--device", "/dev/ttyUSB0,name=a,name=b"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "shop/{scanner}/scans", "--device", "/dev/ttyUSB0"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "shop/x{scanner}"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", "shop/{scanner}", "--device", "/dev/ttyUSB0,name=status"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-topic", std::string(65510, 't') + "/{scanner}", "--device",
         "/dev/ttyUSB0,name=" + std::string(32, 'n')},
    };
    for (const auto& words : cases) {
        const Parsed parsed = parse(words);
        EXPECT_EQ(parsed.line.verdict, CommandLineVerdict::Malformed) << words[1] << " " << words.back();
        EXPECT_EQ(parsed.out, "");
        EXPECT_EQ(parsed.err.rfind("TirnSerial: ", 0), 0u) << parsed.err;
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

TEST(CommandLine, ValuesAreTakenAsGiven) {
    const Parsed parsed = parse({"0", "--device", "/dev/input/by-id/usb-S-event-kbd", "--device", "/dev/ttyACM0",
                                 "--device", "keyboard:/run/fifo", "--keymap", "de", "--gap-ms", "1000", "--end-on", "0x0d", "--bind",
                                 "::1", "--port", "9123", "--allow-origin", "HTTPS://POS.example:443/",
                                 "--charset", "shift_jis", "--invalid", "replace", "--mqtt", "mqtts://[fd00::1]",
                                 "--mqtt-qos", "0", "--mqtt-queue", "5", "--log", "warnings", "--history", "0"});
    ASSERT_EQ(parsed.line.verdict, CommandLineVerdict::Serve) << parsed.err;
    const Options& options = parsed.line.options;
    ASSERT_EQ(options.devices.size(), 3u);
    EXPECT_EQ(options.devices[0].kind, ScannerKind::Keyboard);
    EXPECT_EQ(options.devices[1].kind, ScannerKind::Serial);
    EXPECT_EQ(options.devices[2].kind, ScannerKind::Keyboard);
    EXPECT_EQ(options.devices[2].path, "/run/fifo");
    EXPECT_EQ(options.device, "/dev/ttyACM0");  // the serial one, which start-up opens
    EXPECT_EQ(options.keyboard.layout, "de");
    EXPECT_EQ(options.scanGap.count(), 1000);
    EXPECT_EQ(options.endOn, '\r');
    EXPECT_EQ(options.historyDepth, 0u);
    EXPECT_EQ(options.bindAddress, "::1");
    EXPECT_EQ(options.port, 9123);
    EXPECT_EQ(options.allowedOrigins, std::vector<std::string>{"https://pos.example"});
    EXPECT_EQ(options.charsets.scanner, "shift_jis");
    EXPECT_EQ(options.charsets.invalid, InvalidBytes::Replace);
    EXPECT_EQ(options.mqtt.host, "fd00::1");
    EXPECT_EQ(options.mqtt.port, 8883);
    EXPECT_EQ(options.mqtt.qos, 0);
    EXPECT_EQ(options.mqtt.queueLimit, 5u);
    EXPECT_EQ(options.mqtt.topic, defaultScanTopic());
    EXPECT_EQ(options.log, LogLevel::Warnings);
    EXPECT_EQ(parse({"0", "--log", "events"}).line.options.log, LogLevel::Events);
    EXPECT_EQ(parse({"0"}).line.options.log, LogLevel::All);
    // Serial lines: the options' for every serial scanner, a device's own
    // settings on top; the scan gap, given, kept with a warning where it is
    // shorter than three characters (25 ms at 1200 bit/s, 8N1); left alone,
    // never below 30 ms.
    const Parsed lines = parse({"0", "--device", "/dev/ttyUSB0", "--baud", "1200", "--device", "/dev/ttyUSB1,7e2,rtscts",
                                "--serial-format", "8O1", "--flow", "xonxoff", "--gap-ms", "24"});
    ASSERT_EQ(lines.line.verdict, CommandLineVerdict::Serve) << lines.err;
    const SerialLine& first = lines.line.options.devices[0].line;
    const SerialLine& second = lines.line.options.devices[1].line;
    EXPECT_EQ(std::make_tuple(first.baud, first.dataBits, first.parity, first.stopBits, first.flow),
              std::make_tuple(1200, 8, 'O', 1, FlowControl::XonXoff));
    EXPECT_EQ(std::make_tuple(second.baud, second.dataBits, second.parity, second.stopBits, second.flow),
              std::make_tuple(1200, 7, 'E', 2, FlowControl::RtsCts));
    EXPECT_EQ(lines.line.options.devices[1].path, "/dev/ttyUSB1");
    EXPECT_EQ(lines.line.options.scanGap.count(), 24);
    EXPECT_EQ(lines.err, "TirnSerial: warning: --gap-ms 24 is shorter than three characters on /dev/ttyUSB0 (28 ms "
                         "at 1200 bit/s): its scans may arrive cut apart\n"
                         "TirnSerial: warning: --gap-ms 24 is shorter than three characters on /dev/ttyUSB1 (28 ms "
                         "at 1200 bit/s): its scans may arrive cut apart\n");
    EXPECT_EQ(parse({"0", "--baud", "1200", "--gap-ms", "25"}).err, "");
    EXPECT_EQ(parse({"0", "--baud", "1200", "--serial-format", "8E2"}).line.options.scanGap.count(), 30);
    EXPECT_EQ(options.serialLine.baud, 115200);  // none given: 8N1 at 115200, no flow control
    EXPECT_EQ(options.devices[1].line.flow, FlowControl::None);

    // Scanner settings for every kind, in any order among the line's.
    const Parsed named = parse({"0", "--device", "keyboard:/run/fifo,name=till-2,gs1", "--device",
                                "/dev/ttyUSB1,9600,name=Till_1.a,rtscts", "--aim-ids", "--mqtt", "mqtt://b",
                                "--mqtt-topic", "shop/{scanner}/scans"});
    ASSERT_EQ(named.line.verdict, CommandLineVerdict::Serve) << named.err;
    const auto& till2 = named.line.options.devices[0];
    const auto& till1 = named.line.options.devices[1];
    EXPECT_EQ(std::make_tuple(till2.path, till2.label(), till2.aimIds, till2.gs1),
              std::make_tuple(std::string("/run/fifo"), std::string("till-2"), true, true));
    EXPECT_EQ(std::make_tuple(till1.label(), till1.line.baud, till1.line.flow, till1.gs1),
              std::make_tuple(std::string("Till_1.a"), 9600, FlowControl::RtsCts, false));
    EXPECT_EQ(named.line.options.mqtt.topicFor("till-2"), "shop/till-2/scans");
    EXPECT_EQ(named.line.options.mqtt.topicFor("/dev/ttyUSB1"), "shop/_dev_ttyUSB1/scans");
    EXPECT_EQ(named.line.options.mqtt.statusTopic(), "shop/status");
    EXPECT_EQ(options.devices[1].label(), "/dev/ttyACM0");
    EXPECT_FALSE(options.devices[1].aimIds);

    // Words between the mode and the options (an old port and baud rate,
    // say) are ignored, with a warning.
    const Parsed old = parse({"1", "ttyUSB0", "115200", "--gap-ms", "30"});
    EXPECT_EQ(old.line.verdict, CommandLineVerdict::Serve);
    EXPECT_EQ(old.err, "TirnSerial: warning: ignoring 'ttyUSB0' '115200' after the mode\n");

    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.line.verdict, CommandLineVerdict::Done);
    for (const char* option : {"--device [serial:|keyboard:|hidpos:]PATH", "(default /dev/ttyUSB0)", "--keymap LAYOUT",
                               "(default us)", "--alt-codepage NAME", "(default cp437)", "--gap-ms N", "(default 30, raised",
                               "--end-on BYTE", "--bind ADDR", "(default 0.0.0.0", "--port N", "(default 9010)",
                               "--allow-origin ORIGIN", "--charset NAME", "--invalid stop|replace",
                               "--tls-cert FILE --tls-key FILE", "--mqtt URL", "--mqtt-queue N",
                               "(default 10000)", "--state-dir DIR", "--baud N", "(default 115200)",
                               "--serial-format FORMAT", "(default 8N1)", "--flow none|rtscts|xonxoff", "(default none)",
                               "default /var/lib/tirnserial)", "--mqtt-client-id ID", "--log all|events|warnings",
                               "(all, the default)", "--history N", "(default 1000)", "name=NAME", "--aim-ids",
                               "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST(BrokerUrl, HostPortAndTls) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        bool tls;
    };
    for (const Case& c : {Case{"mqtt://broker", "broker", 1883, false},
                          Case{"mqtts://broker.example:8884", "broker.example", 8884, true},
                          Case{"mqtts://broker", "broker", 8883, true},
                          Case{"mqtt://[fd00::1]:1884", "fd00::1", 1884, false}}) {
        MqttSettings settings;
        ASSERT_TRUE(parseBrokerUrl(c.url, settings)) << c.url;
        EXPECT_EQ(settings.host, c.host);
        EXPECT_EQ(settings.port, c.port);
        EXPECT_EQ(settings.tls, c.tls);
    }
    MqttSettings settings;
    for (const char* refused : {"mqtt://user:pw@broker", "mqtt://broker:0", "mqtt://broker:65536", "mqtt://",
                                "tcp://broker", "mqtt://[fd00::1", "mqtt://broker/topic"})
        EXPECT_FALSE(parseBrokerUrl(refused, settings)) << refused;
}

TEST(OriginPolicy, PagesAndHostsOfThisBox) {
    EXPECT_EQ(normalizedOrigin("HTTPS://Pos.Example:443/"), "https://pos.example");
    EXPECT_EQ(normalizedOrigin("http://pos.example:8080"), "http://pos.example:8080");
    for (const char* refused : {"pos.example", "ftp://pos.example", "https://", "https://a.example/path", "null"})
        EXPECT_EQ(normalizedOrigin(refused), std::nullopt) << refused;

    using Verdict = OriginPolicy::Verdict;
    const OriginPolicy policy({"https://pos.example:8443"}, {"till.shop.example"});
    struct Case {
        const char* origin;
        const char* host;
        Verdict verdict;
    };
    for (const Case& c : {Case{"https://pos.example:8443", "10.0.0.5:9010", Verdict::Allowed},
                          Case{"", "10.0.0.5:9010", Verdict::Allowed},  // no browser
                          Case{"http://10.0.0.5:9010", "10.0.0.5:9010", Verdict::Allowed},  // its own page
                          Case{"http://till.shop.example:9010", "till.shop.example:9010", Verdict::Allowed},
                          Case{"http://localhost:9010", "localhost:9010", Verdict::Allowed},
                          Case{"https://evil.example", "10.0.0.5:9010", Verdict::ForeignOrigin},
                          Case{"http://10.0.0.6:9010", "10.0.0.5:9010", Verdict::ForeignOrigin},
                          Case{"http://rebind.example:9010", "rebind.example:9010", Verdict::UnknownHost}})
        EXPECT_EQ(policy.judge(c.origin, c.host, "http", "10.0.0.5"), c.verdict) << c.origin << " " << c.host;
    EXPECT_EQ(OriginPolicy().judge("https://evil.example", "rebind.example", "http", "10.0.0.5"), Verdict::Allowed);
}

}  // namespace
