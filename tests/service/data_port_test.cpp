// The data port opened through /dev/ttyUSB0, as the service opens it.
#include "sandbox.h"
#include "scanners/serial_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class DataPort : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        scanner_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(scanner_, 0);
        ASSERT_EQ(grantpt(scanner_), 0);
        ASSERT_EQ(unlockpt(scanner_), 0);
        unlink("/dev/ttyUSB0");
        ASSERT_EQ(symlink(ptsname(scanner_), "/dev/ttyUSB0"), 0);
    }
    void TearDown() override {
        if (SerialHandle >= 0) close(SerialHandle);
        SerialHandle = -1;
        if (scanner_ >= 0) close(scanner_);
    }

    int openPort(PendingInput pending) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = init_com(0, 115200, 8, 'N', 1, pending);
        fflush(stdout);
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return result;
    }

    int scanner_ = -1;
    std::string out_, err_;
};

// The first open drops what came before; the reopen after a scan keeps
// what was sent while the port was closed.
TEST_F(DataPort, OpenDropsWhatCameBeforeAndReopenKeepsWhatIsWaiting) {
    ASSERT_EQ(write(scanner_, "old", 3), 3);
    ASSERT_EQ(openPort(PendingInput::Discard), 0);
    EXPECT_EQ(out_, "open /dev/ttyUSB0\nOpenPort is sucessful\n");
    EXPECT_EQ(fcntl(SerialHandle, F_GETFL) & O_NONBLOCK, 0);
    close(SerialHandle);
    ASSERT_EQ(write(scanner_, "new", 3), 3);
    ASSERT_EQ(openPort(PendingInput::Keep), 0);
    char got[4] = {};
    ASSERT_EQ(read(SerialHandle, got, 3), 3);
    EXPECT_STREQ(got, "new");
}

TEST_F(DataPort, ConfigurationFailureClosesThePort) {
    unlink("/dev/ttyUSB0");
    ASSERT_EQ(symlink("/dev/null", "/dev/ttyUSB0"), 0);
    ASSERT_EQ(openPort(PendingInput::Discard), -1);
    EXPECT_EQ(out_, "open /dev/ttyUSB0\nOpenPort is sucessful\n");
    EXPECT_NE(err_.find("tcgetattr: "), std::string::npos) << err_;
    EXPECT_NE(err_.find("set_com_config: "), std::string::npos) << err_;
    EXPECT_EQ(fcntl(SerialHandle, F_GETFD), -1) << "the descriptor was left open";
    SerialHandle = -1;
}

}  // namespace
