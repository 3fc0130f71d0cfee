// Start-up paths of the real binary, as a user meets them.
#include "service_test.h"

#include <gtest/gtest.h>

namespace {

const std::string kOpened = "程序打开成功!\n";
const std::string kFixedLines = "port = 0\nbaud = 115200\n";

struct RefusedStart {
    const char* name;
    std::vector<std::string> args;
    ServiceOptions options;
    std::string out;
    std::string errStart;  // what standard error begins with
    int status;
};

class StartupRefused : public testing::TestWithParam<RefusedStart> {};

TEST_P(StartupRefused, PrintsItsMessagesAndExits) {
    REQUIRE_SANDBOX();
    const RefusedStart& c = GetParam();
    ServiceProcess service(c.args, c.options);
    EXPECT_EQ(service.waitForExit(), c.status);
    EXPECT_EQ(service.out(), c.out);
    EXPECT_EQ(service.err().rfind(c.errStart, 0), 0u) << service.err();
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

ServiceOptions asNobody() {
    ServiceOptions options = unplugged();
    options.unprivileged = true;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StartupRefused,
    testing::Values(
        RefusedStart{"NoArgument", {}, unplugged(), kOpened,
                     "SUAGE:please input the port and baudrate\n", 0},
        RefusedStart{"UnsupportedMode", {"3"}, linkedTo("/dev/null"),
                     kOpened + kFixedLines + "码制不支持\n", "", 0},
        RefusedStart{"NegativeMode", {"-1"}, unplugged(), kOpened + kFixedLines + "码制不支持\n", "", 0},
        RefusedStart{"NoAdapter", {"0"}, unplugged(),
                     kOpened + kFixedLines + "已选择pdf417\nopen /dev/ttyUSB0\ninit_com error\n",
                     "open serial port: No such file or directory\nOpenSerialPort: ", 255},
        RefusedStart{"AdapterIsNotATerminal", {"2"}, linkedTo("/dev/null"),
                     kOpened + kFixedLines +
                         "已经选择gb18030 to utf-8\nopen /dev/ttyUSB0\nOpenPort is sucessful\ninit_com error\n",
                     "standard input is not a terminal device: ", 255},
        RefusedStart{"CannotBecomeRoot", {"0"}, asNobody(), kOpened + "the switch to root user failed!\n",
                     "", 255}),
    [](const testing::TestParamInfo<RefusedStart>& info) { return info.param.name; });

struct ModeCase {
    const char* argument;
    const char* announcement;
};

TEST(Startup, ModeArgumentIsReadAsANumber) {
    REQUIRE_SANDBOX();
    const std::vector<ModeCase> cases = {
        {"0", "已选择pdf417"},       {"abc", "已选择pdf417"},
        {" 1x", "已经选择QR"},       {"2", "已经选择gb18030 to utf-8"},
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
        EXPECT_TRUE(service.waitForError("standard input is not a terminal device: "));
        EXPECT_EQ(service.err().rfind("standard input is not a terminal device: ", 0), 0u) << service.err();
    }
}

TEST(Startup, SecondCopyIsRefusedBeforeAnythingElse) {
    REQUIRE_SANDBOX();
    SKIP_UNDER_EMULATION("the process list shows the emulator, not TirnSerial, so no copy is seen");
    ServiceProcess first({"0"});
    ASSERT_TRUE(first.waitUntilServing());
    ServiceProcess second({"0"}, unplugged());
    EXPECT_EQ(second.waitForExit(), 255);
    EXPECT_EQ(second.out(), "程序已经打开，请勿重复打开!\n");
    EXPECT_EQ(second.err(), "");
    EXPECT_FALSE(first.waitForExit(100ms)) << "the first copy must keep running";
}

// A bad option starts nothing: not even the single-instance check runs.
// (The options' own rules are checked in process.)
TEST(Startup, BadOptionsAreRefusedWithOneLine) {
    REQUIRE_SANDBOX();
    const std::vector<std::vector<std::string>> cases = {
        {"0", "--gap-ms", "0"}, {"--gap-ms", "5", "0"}, {"0", "--token-file", "/nonexistent"},
        {"0", "--mqtt", "mqtt://b", "--mqtt-credentials", "/nonexistent"},
        {"0", "--mqtt", "mqtt://b", "--state-dir", "/dev/null"}, {"0", "--baud", "1234"},
        {"0", "--serial-format", "7N3"}, {"0", "--flow", "dtr"}, {"0", "--device", "/dev/ttyUSB0,9600,8X1"},
    };
    for (const auto& args : cases) expectRefusedWithOneLine(args);
}

}  // namespace
