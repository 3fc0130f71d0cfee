#include "scanners/serial_port.h"

#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// A pty keeps neither parity nor seven-bit characters, so the flag tables
// are checked on the settings that would be written.
termios deviceWith(tcflag_t iflag, tcflag_t cflag) {
    termios device{};
    device.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    device.c_oflag = OPOST;
    device.c_iflag = iflag;
    device.c_cflag = cflag | CS8;
    return device;
}

TEST(ComSettings, SpeedTableFallsBackTo115200) {
    const std::vector<std::pair<int, speed_t>> speeds = {
        {1200, B1200},   {2400, B2400},     {9600, B9600},     {57600, B57600},   {115200, B115200},
        {921600, B921600}, {4000000, B4000000}, {0, B115200}, {-5, B115200}, {600, B115200}, {56000, B115200}};
    for (const auto& [baud, constant] : speeds) {
        const termios settings = comSettings(deviceWith(0, B9600), baud, 8, 'N', 1);
        EXPECT_EQ(cfgetispeed(&settings), constant) << baud;
        EXPECT_EQ(cfgetospeed(&settings), constant) << baud;
    }
}

// Character size, stop bits and parity: only 7 gives CS7, only 2 two stop
// bits; 's' switches parity off but keeps the device's input check; line
// and flow control keep the device's values.
struct FrameCase {
    int dataBits;
    char parity;
    int stopBits;
    tcflag_t deviceIflag, deviceCflag;
    tcflag_t cflag;  // CSIZE, CSTOPB, PARENB, PARODD, CLOCAL, CREAD, CRTSCTS
    bool inpck;
};

TEST(ComSettings, FrameFormatFlags) {
    constexpr tcflag_t kLine = CLOCAL | CREAD | CRTSCTS;
    const std::vector<FrameCase> cases = {
        {8, 'N', 1, 0, PARENB | PARODD | CSTOPB, CS8 | PARODD, false},  // PARODD is left alone
        {7, 'n', 2, INPCK, 0, CS7 | CSTOPB, false},
        {5, 'X', 0, 0, kLine, CS8 | kLine, false},
        {9, '\0', 3, INPCK, CLOCAL, CS8 | CLOCAL, false},
        {8, 'E', 1, 0, PARODD, CS8 | PARENB, true},
        {8, 'e', 1, 0, CREAD, CS8 | PARENB | CREAD, true},
        {8, 'O', 1, 0, 0, CS8 | PARENB | PARODD, true},
        {8, 'o', 1, 0, 0, CS8 | PARENB | PARODD, true},
        {8, 's', 1, INPCK, PARENB, CS8, true},
        {8, 'S', 1, 0, PARENB, CS8, false},
    };
    constexpr tcflag_t kChecked = CSIZE | CSTOPB | PARENB | PARODD | kLine;
    for (const auto& c : cases) {
        const termios settings =
            comSettings(deviceWith(c.deviceIflag, c.deviceCflag), 115200, c.dataBits, c.parity, c.stopBits);
        EXPECT_EQ(settings.c_cflag & kChecked, c.cflag) << int(c.parity) << " " << c.dataBits;
        EXPECT_EQ((settings.c_iflag & INPCK) != 0, c.inpck) << int(c.parity);
        // Raw: no line editing, echo, signals or mapping; a read returns after one byte.
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_EQ(settings.c_cc[VMIN], 1);
        EXPECT_EQ(settings.c_cc[VTIME], 0);
    }
}

// What a pty cannot show of a line from the command line: its character
// size and parity bit; and flow control, which "none" clears.
TEST(LineSettings, FormatAndFlowControl) {
    const termios sevenE2 = lineSettings(deviceWith(0, CRTSCTS), {1200, 7, 'E', 2, FlowControl::XonXoff});
    EXPECT_EQ(sevenE2.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), CS7 | PARENB | CSTOPB);
    EXPECT_EQ(sevenE2.c_iflag & (INPCK | IGNPAR | ISTRIP | IXON | IXOFF), INPCK | IGNPAR | ISTRIP | IXON | IXOFF);
    EXPECT_EQ(cfgetispeed(&sevenE2), B1200);
    const termios eightO1 = lineSettings(deviceWith(IXON | IXOFF, 0), {9600, 8, 'O', 1, FlowControl::RtsCts});
    EXPECT_EQ(eightO1.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), CS8 | PARENB | PARODD | CRTSCTS);
    EXPECT_EQ(eightO1.c_iflag & (INPCK | IGNPAR | ISTRIP | IXON | IXOFF), INPCK | IGNPAR);
    const termios none = lineSettings(deviceWith(IXON | IXOFF, CRTSCTS), SerialLine{});
    EXPECT_EQ(none.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8);
    EXPECT_EQ(none.c_iflag & (INPCK | IGNPAR | IXON | IXOFF), 0u);
    EXPECT_EQ(cfgetospeed(&none), B115200);
}

TEST(InitCom, DeviceNumbersOutsideZeroToSixOpenNothing) {
    for (int n : {7, -1}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(init_com(n, 115200, 8, 'N', 1), -1);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("OpenSerialPort: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(SerialHandle, -1);
    }
}

}  // namespace
