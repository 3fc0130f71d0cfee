// The service end to end: a pty scanner types, WebSocket clients receive.
#include "scanner_set.h"
#include "service_test.h"
#include "service/relay_loop.h"
#include "service/service_stats.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Relay = ServiceTest;

// Each non-empty message, text or binary, is one more subscription; an
// empty one is none.
TEST_F(Relay, ScanReachesEachSubscriberEntryExactly) {
    startService();
    auto once = subscriber();
    auto twice = subscriber();
    twice->sendBinary(std::string("\0\xff", 2));
    ASSERT_TRUE(service_->waitForOutput("debug: \ng_conn  get!\n")) << "shown up to its zero byte";
    auto silent = WsClient::connect();
    auto empty = WsClient::connect();
    ASSERT_TRUE(silent && empty);
    empty->sendText("");
    ASSERT_TRUE(service_->waitForOutput("size of msg is 0 or msg = NULL(connet id = "));

    service_->scan("ABC123");
    expectNextMessage(*once, scanMessage("ABC123"));
    EXPECT_EQ(scanMessage("ABC123").size(), 57u);
    for (int copy = 0; copy < 2; ++copy) expectNextMessage(*twice, scanMessage("ABC123"));
    EXPECT_FALSE(twice->receive(200ms));
    EXPECT_FALSE(once->receive(10ms));
    EXPECT_FALSE(silent->receive(10ms));
    EXPECT_FALSE(empty->receive(10ms));
    EXPECT_TRUE(service_->waitForOutput("call websocket doSend\n", 3));
    unplugAndExpectCleanExit();
    EXPECT_EQ(service_->countInOutput("call websocket doSend\n"), 3) << "unplugging sent something";
}

struct ModeCase {
    const char* name;
    std::vector<std::string> args;
    std::string scan;
    std::string data;
};

class RelayModes : public ServiceTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(RelayModes, ScannerTextIsConvertedByTheMode) {
    const ModeCase& c = GetParam();
    startService(c.args);
    auto client = subscriber();
    service_->scan(c.scan);
    expectNextMessage(*client, scanMessage(c.data));
    unplugAndExpectCleanExit();
}

std::string repeated(const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += unit;
    return text;
}

const std::string kQrText = "\xE4\xBB\x98\xE6\xAC\xBE \xF0\x9F\x98\x80 https://pay.example/q?id=42&x=\xC3\xA9";
const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Modes, RelayModes,
    testing::Values(ModeCase{"Gb2312ToUtf8", {"0"}, "A\xD6\xD0", "A\xE4\xB8\xAD"},
                    ModeCase{"ZeroByteEndsData", {"2"}, std::string("AB\0CD", 5), "AB"},
                    ModeCase{"Utf8QrTextUpToAnIllFormedSequence", {"0", "--charset", "utf-8"},
                             kQrText + "\xF8\x88\x80\x80\x80", kQrText},
                    ModeCase{"Utf8UnderAnotherNameIsCheckedToo", {"0", "--charset", "ISO-10646/UTF8/"},
                             kQrText + "\xF8\x88\x80\x80\x80", kQrText},
                    ModeCase{"IllFormedUtf8Replaced", {"2", "--charset", "utf8", "--invalid", "replace"},
                             "A\xFB\x84\x84\x84\x84" "B\xF4\x90\x80\x80",
                             "A" + repeated(kReplacement, 5) + "B" + repeated(kReplacement, 4)},
                    ModeCase{"RejectedByteStopsByDefault", {"0"}, "AB\x80" + kQrText, "AB"},
                    ModeCase{"RejectedByteReplaced", {"0", "--invalid", "replace"}, "AB\x80" "CD\xD6",
                             "AB" + kReplacement + "CD" + kReplacement},
                    ModeCase{"Big5", {"0", "--charset", "big5"}, "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
                    ModeCase{"WhatGbkLacksReplaced", {"1", "--charset", "utf-8", "--invalid", "replace"},
                             "A\xF0\x9F\x98\x80" "B", "A?B"}),
    [](const testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

// Scans longer than the read buffer arrive whole, in several messages. The
// cut at a full buffer knows the scanner's charset: two-byte Shift_JIS
// characters from an odd offset arrive whole in the next message.
TEST_F(Relay, BurstsLongerThanTheBufferLoseNothing) {
    startService({"0", "--charset", "shift_jis"});
    auto client = subscriber();
    std::string scan;
    for (int i = 0; scan.size() < 5000; ++i) scan += std::to_string(i) + ",";
    service_->scan(scan);
    EXPECT_EQ(collectData(*client, scan.size()), scan);
    service_->scan("A" + repeated("\x93\xFA", 1500));
    EXPECT_EQ(collectData(*client, 1 + 4500), "A" + repeated("\xE6\x97\xA5", 1500));

    // A lead byte held back at the full buffer stays with its own scan: at
    // the silence it goes out alone (the charset makes nothing of it), never
    // in front of the next scan.
    service_->scan(std::string(2046, 'A') + "\x93");
    expectNextMessage(*client, scanMessage(std::string(2046, 'A')));
    expectNextMessage(*client, scanMessage(""));
    std::this_thread::sleep_for(100ms);
    expectScanReaches(*client, "ABC123");
    unplugAndExpectCleanExit();
}

// Scans as USB serial adapters deliver them: in packets with gaps of up to
// 16 ms inside one scan. Each is one message, and scans 100 ms apart stay
// apart.
class RelayAdapters : public ServiceTest, public testing::WithParamInterface<Pacing> {};

TEST_P(RelayAdapters, EachScanIsOneMessage) {
    startService("0");
    auto client = subscriber();
    const std::string url = "https://shop.example.com/item/4006381333931?lot=A7&serial=000123456789&ref=tirn-" +
                            std::string(22, 'x');
    // "A" and then 51 characters: the 62-byte packet boundary cuts the 31st.
    const std::string chinese = "A" + repeated("\xD6\xD0", 51);
    const std::string converted = "A" + repeated("\xE4\xB8\xAD", 51);
    const std::vector<std::pair<std::string, std::string>> scans = {
        {"4006381333931\r", scanMessage("4006381333931\\r", 14)},
        {url, scanMessage(url)},
        {chinese, scanMessage(converted)},
    };
    for (const auto& [sent, message] : scans) {
        service_->scan(sent, GetParam());
        std::this_thread::sleep_for(100ms);
    }
    for (const auto& [sent, message] : scans) {
        const auto frame = client->receive();
        ASSERT_TRUE(frame) << sent.size() << "-byte scan";
        EXPECT_EQ(frame->payload, message);
    }
    EXPECT_FALSE(client->receive(100ms)) << "a scan arrived in pieces";
    unplugAndExpectCleanExit();
}

std::string adapterCaseName(const testing::TestParamInfo<Pacing>& info) {
    static const char* const names[] = {"Instant", "Line", "Ftdi", "Ch340", "Cp210x"};
    return std::string(names[static_cast<int>(info.param.adapter)]) +
           (info.param.charGap.count() ? "ScannerCharGap" : "");
}

INSTANTIATE_TEST_SUITE_P(Models, RelayAdapters,
                         testing::Values(Pacing{Adapter::Line, {}}, Pacing{Adapter::Ftdi, {}},
                                         Pacing{Adapter::Ch340, {}}, Pacing{Adapter::Cp210x, {}},
                                         Pacing{Adapter::Line, std::chrono::milliseconds(2)}),
                         adapterCaseName);

// Bytes that come while a scan is being published arrive in a later
// message. The port is closed and opened again after each scan, but never
// fully closed: on a USB serial tty the last close flushes its input and
// stops the adapter (the pty's master sees that moment as a hang-up).
TEST_F(Relay, BytesDuringPublicationArriveLaterAndThePortIsNeverFullyClosed) {
    startService({"0", "--gap-ms", "1"});
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(subscriber());  // publication takes a while
    std::atomic<bool> watching{true};
    std::atomic<int> hangUps{0};
    std::thread watcher([&] {
        pollfd master{service_->scannerMaster(), 0, 0};
        while (watching) {
            if (poll(&master, 1, 10) == 1 && (master.revents & POLLHUP)) {
                ++hangUps;
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        const std::string piece = std::to_string(1000 + i) + "|";
        service_->scan(piece);
        sent += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(900 + (i % 7) * 150));
    }
    for (auto& client : clients) EXPECT_EQ(collectData(*client, sent.size()), sent);
    watching = false;
    watcher.join();
    EXPECT_EQ(hangUps, 0);
    unplugAndExpectCleanExit();
}

// Unplugged mid-scan (a scanner on another device than the default): what
// arrived goes out once, no empty message follows, and the service ends with
// its clients closed.
TEST_F(Relay, UnplugMidScanPublishesWhatArrivedOnceAndEnds) {
    ServiceOptions acm;
    acm.scannerPath = "/dev/ttyACM0";
    startService({"0", "--device", "/dev/ttyACM0"}, acm);
    auto client = subscriber();
    service_->scan("HALF-A-SC");
    // Read, and the rest awaited: what a port unplugged before the read
    // held is lost with it, as on a real adapter.
    ASSERT_TRUE(eventually([&] { return scanUnderWay(service_->pid()); }));
    service_->unplugScanner();
    EXPECT_EQ(service_->waitForExit(), 0);
    expectNextMessage(*client, scanMessage("HALF-A-SC"));
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(service_->countInOutput("call websocket doSend"), 1);
    const std::string out = service_->out();
    EXPECT_NE(out.find("GetConAgain output:init_com error \n"), std::string::npos) << out;
    EXPECT_EQ(out.find("recovery process user failed!"), std::string::npos);
    EXPECT_NE(out.find("open /dev/ttyACM0\nOpenPort is sucessful\n"), std::string::npos) << out;
    EXPECT_EQ(occurrences(out, "ttyUSB0"), 0) << out;
    EXPECT_NE(service_->err().find("open serial port: No such file or directory"), std::string::npos);
}

// Stored scans uploaded in one go (the end byte splits them), read at once,
// and the device gone before the port is opened again: every scan that was
// read goes out, in order, before the service ends.
TEST_F(Relay, DeviceGoneAfterAReadOfSeveralScansPublishesEachOfThem) {
    startService({"0", "--end-on", "cr"});
    auto client = subscriber();
    ASSERT_EQ(unlink("/dev/ttyUSB0"), 0);  // the open port still reads; the reopen fails
    service_->scan("S1\rS2\rS3\rREST");
    EXPECT_EQ(service_->waitForExit(), 0);
    for (const auto& [data, size] : {std::pair{"S1\\r", 3}, {"S2\\r", 3}, {"S3\\r", 3}, {"REST", 4}})
        expectNextMessage(*client, scanMessage(data, size));
}

// Numbered scans, one after another without end, until the service is to stop.
class EndlessScanner : public ScanSource {
public:
    EndlessScanner(int stop, std::atomic<int>& made) : stop_(stop), made_(made) {}
    std::optional<Scan> waitForScan() override {
        pollfd stopping{stop_, POLLIN, 0};
        if (poll(&stopping, 1, 0) == 1) return std::nullopt;
        return Scan{std::to_string(++made_), 1, false};
    }

private:
    const int stop_;
    std::atomic<int>& made_;
};

// The relay loop stuck in a sink that blocks says nothing of being alive,
// and the scanner's reader waits once the scans waiting for the loop fill
// their queue; let go, the loop goes on.
TEST(RelayLoop, StuckSinkSilencesTheLoopAndHoldsTheReaderBack) {
    const int stop = eventfd(0, EFD_CLOEXEC);
    const std::vector<ScannerDevice> devices{{ScannerKind::Keyboard, "/nowhere/scanner"}};
    ServiceStats stats({});
    std::atomic<int> made{0};
    std::vector<std::unique_ptr<ScanSource>> opened;
    opened.push_back(std::make_unique<EndlessScanner>(stop, made));
    ScannerSet set(devices, std::move(opened), [](const ScannerDevice&) -> std::unique_ptr<ScanSource> { return {}; },
                   [](std::size_t, bool, const std::string&) {}, ScanFraming{1ms, {}, 10ms, [&stats] { stats.relayAlive(); }, stop});
    std::mutex guard;
    std::condition_variable freed;
    bool stuck = true;
    const ScanSink sink = [&](const NumberedScan&) {
        std::unique_lock<std::mutex> lock(guard);
        freed.wait(lock, [&] { return !stuck; });
    };
    std::string problem;
    const auto history = ScanHistory::open("", 0, problem);
    std::thread loop([&] { runRelayLoop(set, *history, devices, {sink}, stats); });

    // One in the sink, a queue full, one in the reader's hand.
    const int held = static_cast<int>(ScannerSet::kQueuedScans) + 2;
    EXPECT_TRUE(eventually([&] { return made == held; }, 5s)) << made;
    const auto beats = stats.relayBeats();
    std::this_thread::sleep_for(100ms);  // ten heartbeats
    EXPECT_EQ(made, held);
    EXPECT_EQ(stats.relayBeats(), beats);
    {
        std::lock_guard<std::mutex> lock(guard);
        stuck = false;
    }
    freed.notify_all();
    EXPECT_TRUE(eventually([&] { return made > 2 * held; }, 5s));
    eventfd_write(stop, 1);
    loop.join();
    close(stop);
    EXPECT_GT(stats.relayBeats(), beats);
}

}  // namespace
