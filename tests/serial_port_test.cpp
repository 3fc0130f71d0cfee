#include "serial_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// A pty pair; the slave side plays the serial device.
class PtyDevice : public testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        device_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(device_, 0);
    }
    void TearDown() override {
        close(device_);
        close(master_);
    }

    termios configure(int baud, int dataBits, char parity, int stopBits) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(set_com_config(device_, baud, dataBits, parity, stopBits), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        termios settings{};
        tcgetattr(device_, &settings);
        return settings;
    }

    int master_ = -1;
    int device_ = -1;
};

// A pty keeps neither parity nor seven-bit characters, so the flag tables
// are checked on the settings that would be written.
termios deviceWith(tcflag_t iflag, tcflag_t cflag) {
    termios device{};
    device.c_iflag = iflag;
    device.c_cflag = cflag | CS8;
    return device;
}

TEST(ComSettings, SpeedTableFallsBackTo115200) {
    const std::vector<std::pair<int, speed_t>> speeds = {
        {2400, B2400},     {4800, B4800},     {9600, B9600},   {19200, B19200},
        {38400, B38400},   {115200, B115200}, {0, B115200},    {-5, B115200}, {57600, B115200}};
    for (const auto& [baud, constant] : speeds) {
        const termios settings = comSettings(deviceWith(0, B9600), baud, 8, 'N', 1);
        EXPECT_EQ(cfgetispeed(&settings), constant) << baud;
        EXPECT_EQ(cfgetospeed(&settings), constant) << baud;
    }
}

TEST(ComSettings, OnlySevenDataBitsGiveCs7) {
    for (int bits : {5, 6, 7, 8, 9}) {
        const termios settings = comSettings(deviceWith(0, 0), 115200, bits, 'N', 1);
        EXPECT_EQ(settings.c_cflag & CSIZE, bits == 7 ? CS7 : CS8) << bits;
    }
}

TEST(ComSettings, OnlyTwoStopBitsSetCstopb) {
    for (int stop : {0, 1, 2, 3}) {
        const termios settings = comSettings(deviceWith(0, CSTOPB), 115200, 8, 'N', stop);
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, stop == 2) << stop;
    }
}

struct ParityCase {
    char letter;
    bool parenb;
    bool parodd;
    bool inpck;  // for a device that had it off; 's' keeps the device's value
};

TEST(ComSettings, ParityLetters) {
    const std::vector<ParityCase> cases = {
        {'E', true, false, true},   {'e', true, false, true},   {'O', true, true, true},
        {'o', true, true, true},    {'N', false, false, false}, {'n', false, false, false},
        {'X', false, false, false}, {'\0', false, false, false}, {'s', false, false, false},
        {'S', false, false, false},
    };
    for (const auto& c : cases) {
        const termios settings = comSettings(deviceWith(0, PARENB | PARODD), 115200, 8, c.letter, 1);
        EXPECT_EQ((settings.c_cflag & PARENB) != 0, c.parenb) << int(c.letter);
        if (c.parenb) {
            EXPECT_EQ((settings.c_cflag & PARODD) != 0, c.parodd) << int(c.letter);
        }
        EXPECT_EQ((settings.c_iflag & INPCK) != 0, c.inpck) << int(c.letter);
    }
}

TEST(ComSettings, InputParityCheckOfTheDevice) {
    for (char letter : {'N', 'n', 'X', 's', 'S', 'E', 'O'}) {
        const termios settings = comSettings(deviceWith(INPCK, 0), 115200, 8, letter, 1);
        const bool kept = letter == 's' || letter == 'S' || letter == 'E' || letter == 'O';
        EXPECT_EQ((settings.c_iflag & INPCK) != 0, kept) << letter;
    }
}

TEST(ComSettings, LineControlAndFlowControlKeepTheDevicesValues) {
    for (tcflag_t bits : {tcflag_t(0), tcflag_t(CLOCAL), tcflag_t(CREAD), tcflag_t(CLOCAL | CREAD | CRTSCTS)}) {
        const termios settings = comSettings(deviceWith(0, bits), 115200, 8, 'N', 1);
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | CRTSCTS), bits);
    }
}

TEST_F(PtyDevice, RawSingleByteReadsAndLineControlUntouched) {
    termios before{};
    tcgetattr(device_, &before);
    const termios settings = configure(115200, 8, 'N', 1);
    EXPECT_EQ(settings.c_cc[VMIN], 1);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), before.c_cflag & (CLOCAL | CREAD));
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
