// Start-up paths of the real binary, as a user meets them.
#include "service_test.h"

#include <gtest/gtest.h>

namespace {

const std::string kOpened = "程序打开成功!\n";
const std::string kFixedLines = "port = 0\nbaud = 115200\n";
const std::string kNoScanner =
    "TirnSerial: no scanner at /dev/ttyUSB0: plug the scanner in, or name its device with --device\n";
const std::string kNoMode = "TirnSerial: the mode must be 0, 1 or 2 (see --help)\n";
const std::string kMissingMode =
    "TirnSerial: the mode is missing: TirnSerial MODE [OPTIONS], the mode 0, 1 or 2 (see --help)\n";
const std::string kNoRoot =
    "TirnSerial: cannot become root: start it as root (sudo TirnSerial MODE, or systemctl start tirnserial@MODE)\n";

struct RefusedStart {
    const char* name;
    std::vector<std::string> args;
    ServiceOptions options;
    std::string out;
    std::string errStart;  // what standard error begins with
    int status;
    std::string errEnd;  // its last line: what to do
};

class StartupRefused : public testing::TestWithParam<RefusedStart> {};

TEST_P(StartupRefused, PrintsItsMessagesAndExits) {
    REQUIRE_SANDBOX();
    const RefusedStart& c = GetParam();
    ServiceProcess service(c.args, c.options);
    EXPECT_EQ(service.waitForExit(), c.status);
    EXPECT_EQ(service.out(), c.out);
    const std::string err = service.err();
    EXPECT_EQ(err.rfind(c.errStart, 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.errEnd.size())), c.errEnd) << err;
    EXPECT_LE(occurrences(err, "TirnSerial: "), 1) << "one line says what to do: " << err;
}

ServiceOptions unplugged() {
    ServiceOptions options;
    options.scannerPlugged = false;
    return options;
}

ServiceOptions linkedTo(const char* path) {
    ServiceOptions options;
    options.scannerLink = path;
    return options;
}

// A scanner plugged in under another name than the one given.
ServiceOptions listedAs(const char* path) {
    ServiceOptions options;
    options.scannerPath = path;
    return options;
}

ServiceOptions asNobody() {
    ServiceOptions options = unplugged();
    options.unprivileged = true;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StartupRefused,
    testing::Values(
        RefusedStart{"NoArgument", {}, unplugged(), kOpened,
                     "SUAGE:please input the port and baudrate\n" + kMissingMode, 2, kMissingMode},
        RefusedStart{"UnsupportedMode", {"3"}, linkedTo("/dev/null"), kOpened + kFixedLines + "码制不支持\n", kNoMode, 2,
                     kNoMode},
        RefusedStart{"NegativeMode", {"-1"}, unplugged(), kOpened + kFixedLines + "码制不支持\n", kNoMode, 2, kNoMode},
        RefusedStart{"NoAdapter", {"0"}, unplugged(),
                     kOpened + kFixedLines + "已选择pdf417\nopen /dev/ttyUSB0\ninit_com error\n",
                     "open serial port: No such file or directory\nOpenSerialPort: ", 255, kNoScanner},
        RefusedStart{"NoAdapterOfThoseListed", {"0", "--device", "/dev/serial/by-id/usb-Gone-if00-port0"},
                     listedAs("/dev/serial/by-id/usb-Scanner-if00-port0"),
                     kOpened + kFixedLines + "已选择pdf417\nopen /dev/serial/by-id/usb-Gone-if00-port0\ninit_com error\n",
                     "open serial port: No such file or directory\n", 255,
                     "TirnSerial: no scanner at /dev/serial/by-id/usb-Gone-if00-port0: plug the scanner in, or name "
                     "its device with --device (/dev/serial/by-id/ lists usb-Scanner-if00-port0)\n"},
        RefusedStart{"AdapterIsNotATerminal", {"2"}, linkedTo("/dev/null"),
                     kOpened + kFixedLines +
                         "已经选择gb18030 to utf-8\nopen /dev/ttyUSB0\nOpenPort is sucessful\ninit_com error\n",
                     "standard input is not a terminal device: ", 255,
                     "TirnSerial: cannot read the scanner at /dev/ttyUSB0 (Inappropriate ioctl for device): name the "
                     "scanner's device with --device\n"},
        RefusedStart{"CannotBecomeRoot", {"0"}, asNobody(), kOpened + "the switch to root user failed!\n", kNoRoot,
                     255, kNoRoot},
        // Quieter levels show the English lines only.
        RefusedStart{"NoAdapterAmongEvents", {"0", "--log", "events"}, unplugged(),
                     "TirnSerial " TIRN_VERSION " starting in mode 0\n", kNoScanner, 255, kNoScanner},
        RefusedStart{"NoModeAmongWarnings", {"7", "--log", "warnings"}, unplugged(), "", kNoMode, 2, kNoMode}),
    [](const testing::TestParamInfo<RefusedStart>& info) { return info.param.name; });

struct ModeCase {
    const char* argument;
    const char* announcement;
    const char* warning = "";  // for a word that is not wholly a number
};

TEST(Startup, ModeArgumentIsReadAsANumber) {
    REQUIRE_SANDBOX();
    const std::vector<ModeCase> cases = {
        {"0", "已选择pdf417"},
        {"abc", "已选择pdf417", "TirnSerial: warning: the mode 'abc' is not a number: read as mode 0 (see --help)\n"},
        {" 1x", "已经选择QR", "TirnSerial: warning: the mode ' 1x' is not a number: read as mode 1 (see --help)\n"},
        {"2", "已经选择gb18030 to utf-8"},
        {"4294967297", "已经选择QR"},  // 2^32 + 1, cut to 32 bits
    };
    for (const auto& c : cases) {
        ServiceProcess service({c.argument});
        ASSERT_TRUE(service.waitForOutput("OpenPort is sucessful")) << c.argument << "\n" << service.out();
        EXPECT_EQ(service.out().rfind(kOpened + kFixedLines + c.announcement +
                                          "\nopen /dev/ttyUSB0\nOpenPort is sucessful\n",
                                      0),
                  0u)
            << c.argument << "\n" << service.out();
        // Standard error comes through a pipe of its own, maybe later.
        const std::string err = std::string(c.warning) + "standard input is not a terminal device: ";
        EXPECT_TRUE(service.waitForError(err));
        EXPECT_EQ(service.err().rfind(err, 0), 0u) << service.err();
    }
}

// Only the options are checked before it: a second copy with a missing or
// bad mode is a second copy (255), one with a bad option is refused (2).
TEST(Startup, SecondCopyIsRefusedBeforeAnythingElse) {
    REQUIRE_SANDBOX();
    SKIP_UNDER_EMULATION("the process list shows the emulator, not TirnSerial, so no copy is seen");
    ServiceProcess first({"0"});
    ASSERT_TRUE(first.waitUntilServing());
    for (const auto& args : std::vector<std::vector<std::string>>{{"0"}, {}, {"5"}}) {
        ServiceProcess second(args, unplugged());
        EXPECT_EQ(second.waitForExit(), 255) << args.size();
        EXPECT_EQ(second.out(), "程序已经打开，请勿重复打开!\n");
        EXPECT_EQ(second.err(), "TirnSerial: another TirnSerial runs already (pid " + std::to_string(first.pid()) +
                                    "): one process serves several scanners, so give that one this scanner with "
                                    "another --device, or stop it first\n");
    }
    expectRefusedWithOneLine({"5", "--baud", "1234"}, "--baud");
    EXPECT_FALSE(first.waitForExit(100ms)) << "the first copy must keep running";
}

// A bad option starts nothing: not even the single-instance check runs.
// (The options' own rules are checked in process.)
TEST(Startup, BadOptionsAreRefusedWithOneLine) {
    REQUIRE_SANDBOX();
    const std::vector<std::vector<std::string>> cases = {
        {"0", "--gap-ms", "0"}, {"--gap-ms", "5", "0"}, {"0", "--token-file", "/nonexistent"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-credentials", "/nonexistent"},
        {"0", "--mqtt", "mqtt://b", "--state-dir", "/dev/null"}, {"0", "--log", "loud"},
        {"0", "--baud", "1234"},
        {"0", "--serial-format", "7N3"}, {"0", "--flow", "dtr"}, {"0", "--device", "/dev/ttyUSB0,9600,8X1"},
    };
    for (const auto& args : cases) expectRefusedWithOneLine(args);
}

// Without --mqtt a state directory that cannot be used costs the numbers'
// and the history's store, not the service: one warning, and it serves.
TEST(Startup, UnusableStateDirectoryWithoutMqttIsOneWarning) {
    REQUIRE_SANDBOX();
    ServiceProcess service({"0", "--state-dir", "/dev/null/state"});
    ASSERT_TRUE(service.waitUntilServing()) << service.out();
    EXPECT_TRUE(service.waitForError("TirnSerial: warning: cannot use the state directory /dev/null/state ("));
    const std::string err = service.err();
    EXPECT_EQ(err.find("warning"), err.rfind("warning")) << err;
    EXPECT_EQ(service.countInOutput("warning"), 0) << service.out();
}

}  // namespace
