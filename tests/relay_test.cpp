// The service end to end: a pty scanner types, WebSocket clients receive.
#include "service_test.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using Relay = ServiceTest;

TEST_F(Relay, ScanReachesEachSubscriberEntryExactly) {
    startService();
    auto once = subscriber();
    auto twice = subscriber(2);
    auto silent = WsClient::connect();
    auto empty = WsClient::connect();
    ASSERT_TRUE(silent && empty);
    empty->sendText("");

    service_->scan("ABC123");
    const auto frame = once->receive();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->text);
    EXPECT_EQ(frame->payload, scanMessage("ABC123"));
    EXPECT_EQ(frame->payload.size(), 57u);
    EXPECT_EQ(twice->receive()->payload, scanMessage("ABC123"));
    EXPECT_EQ(twice->receive()->payload, scanMessage("ABC123"));
    EXPECT_FALSE(twice->receive(200ms));
    EXPECT_FALSE(once->receive(10ms));
    EXPECT_FALSE(silent->receive(10ms));
    EXPECT_FALSE(empty->receive(10ms));
    EXPECT_TRUE(service_->waitForOutput("call websocket doSend\n", 3));

    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->countInOutput("call websocket doSend\n"), 3) << "unplugging sent something";
}

TEST_F(Relay, ClosedClientGetsNothingFurther) {
    startService();
    auto leaving = subscriber();
    auto staying = subscriber();
    leaving->close();
    ASSERT_TRUE(service_->waitForOutput("g_conn over!"));
    service_->scan("4006381333931\r");
    EXPECT_EQ(staying->receive()->payload, scanMessage("4006381333931\\r", 14));
    EXPECT_TRUE(service_->waitForOutput("call websocket doSend\n", 1));
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->countInOutput("call websocket doSend\n"), 1);
}

struct ModeCase {
    const char* name;
    const char* mode;
    std::string scan;
    std::string data;
};

class RelayModes : public ServiceTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(RelayModes, ScannerTextIsConvertedByTheMode) {
    const ModeCase& c = GetParam();
    startService(c.mode);
    auto client = subscriber();
    service_->scan(c.scan);
    const auto frame = client->receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, scanMessage(c.data));
    unplugAndExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RelayModes,
    testing::Values(ModeCase{"Gb2312ToUtf8", "0", "A\xD6\xD0", "A\xE4\xB8\xAD"},
                    ModeCase{"Gb2312ToGbk", "1", "A\xD6\xD0", "A\xD6\xD0"},
                    ModeCase{"Gb18030ToUtf8", "2", "A\xD6\xD0\x88\xD2", "A\xE4\xB8\xAD\xE5\xA0\x83"},
                    ModeCase{"GbkOnlyCharacterStopsMode0", "0", "A\x88\xD2Z", "A"},
                    ModeCase{"ZeroByteEndsData", "2", std::string("AB\0CD", 5), "AB"}),
    [](const testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

std::string repeated(const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += unit;
    return text;
}

TEST_F(Relay, LongChineseScanArrivesWhole) {
    startService("0");
    auto client = subscriber();
    service_->scan(repeated("\xD6\xD0", 1000));
    const auto frame = client->receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, scanMessage(repeated("\xE4\xB8\xAD", 1000)));
    unplugAndExpectCleanExit();
}

TEST_F(Relay, BurstsLongerThanTheBufferLoseNothing) {
    startService("0");
    auto client = subscriber();
    std::string scan;
    for (int i = 0; scan.size() < 5000; ++i) scan += std::to_string(i) + ",";
    service_->scan(scan);
    EXPECT_EQ(collectData(*client, scan.size()), scan);

    // A character cut by the end of the buffer arrives whole in the next
    // message.
    const std::string chinese = "AB" + repeated("\xD6\xD0", 1500);
    service_->scan(chinese);
    EXPECT_EQ(collectData(*client, 2 + 4500), "AB" + repeated("\xE4\xB8\xAD", 1500));

    service_->scan("after");
    EXPECT_EQ(client->receive()->payload, scanMessage("after"));
    unplugAndExpectCleanExit();
}

TEST_F(Relay, BytesSentDuringPublicationArriveInALaterMessage) {
    startService("0");
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(subscriber());  // publication takes a while
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        const std::string piece = std::to_string(1000 + i) + "|";
        service_->scan(piece);
        sent += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(300 + (i % 7) * 150));
    }
    for (auto& client : clients) ASSERT_EQ(collectData(*client, sent.size()), sent);
    unplugAndExpectCleanExit();
}

TEST_F(Relay, UnpluggingEndsTheServiceWithoutAnEmptyMessage) {
    startService();
    auto client = subscriber();
    service_->unplugScanner();
    EXPECT_EQ(service_->waitForExit(), 0);
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(service_->countInOutput("call websocket doSend"), 0);
    const std::string out = service_->out();
    EXPECT_NE(out.find("GetConAgain output:init_com error \n"), std::string::npos) << out;
    EXPECT_EQ(out.find("recovery process user failed!"), std::string::npos);
    EXPECT_NE(service_->err().find("open serial port: No such file or directory"), std::string::npos);
}

TEST_F(Relay, WithPort9010TakenScansAreStillReadAndThePortReopened) {
    const int blocker = occupyPort9010();

    service_ = std::make_unique<ServiceProcess>(std::vector<std::string>{"0"});
    ASSERT_TRUE(service_->waitForOutput(
        "setup websocket\nERROR: Expected to find proper listener connection status, but found..\n"));
    for (int scan = 1; scan <= 3; ++scan) {
        service_->scan("ABC");
        EXPECT_TRUE(service_->waitForOutput("OpenPort is sucessful", 1 + scan)) << scan;
    }
    close(blocker);
    unplugAndExpectCleanExit();
}

TEST_F(Relay, TwoHundredSubscribersEachGetOneCopy) {
    startService();
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(subscriber());
    service_->scan("ABC123");
    for (auto& client : clients) {
        const auto frame = client->receive();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->payload, scanMessage("ABC123"));
    }
    for (auto& client : clients) EXPECT_FALSE(client->receive(1ms));
    unplugAndExpectCleanExit();
}

}  // namespace
