#include "client_summary.h"
#include "publication/subscriber_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

// The list never looks behind a connection handle, so any distinct
// addresses stand in for connections here.
WsConnection* fakeConnection(int n) {
    static char storage[8];
    return reinterpret_cast<WsConnection*>(&storage[n]);
}

std::vector<WsConnection*> entries() {
    std::vector<WsConnection*> seen;
    withSubscribers({}, [&seen](const Subscribers& list) { seen = list.plain; });
    return seen;
}

class SubscriberList : public testing::Test {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        for (int n = 0; n < 8; ++n) socketPthreadCloseConn(fakeConnection(n));
        fflush(stdout);
        testing::internal::GetCapturedStdout();
    }
    void subscribe(int n) { socketPthreadGetDataCall(fakeConnection(n), nullptr, 1); }
    std::string printed() {
        fflush(stdout);
        std::string text = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return text;
    }
};

// Every message adds an entry, in arrival order. A close takes away every
// entry of its connection and no other; a close of a connection that is not
// listed (the list empty or not) changes nothing.
TEST_F(SubscriberList, CloseRemovesEveryEntryOfThatConnectionOnly) {
    socketPthreadCloseConn(fakeConnection(3));
    for (int n : {0, 1, 0, 0, 2}) subscribe(n);  // A, B, A, A, C
    socketPthreadCloseConn(fakeConnection(3));
    const auto a = fakeConnection(0), b = fakeConnection(1), c = fakeConnection(2);
    EXPECT_EQ(entries(), (std::vector<WsConnection*>{a, b, a, a, c}));
    socketPthreadCloseConn(fakeConnection(0));
    EXPECT_EQ(entries(), (std::vector<WsConnection*>{b, c}));
    std::string gets;
    for (int i = 0; i < 5; ++i) gets += "g_conn  get!\n";
    EXPECT_EQ(printed(), "g_conn over!\n" + gets + "g_conn over!\ng_conn over!\n");
}

// The clients' line for --log events: the first change at once, then at
// most one line a minute, counting what happened meanwhile; none while
// nothing changes.
TEST(ClientSummary, AtMostOnceAMinuteAndOnlyAfterAChange) {
    ClientSummary summary;
    const auto start = ClientSummary::Clock::now();
    EXPECT_EQ(summary.due(0, start), "");
    summary.joined();
    EXPECT_EQ(summary.due(1, start), "clients: 1 subscribed; 1 joined, 0 left since the last line");
    summary.joined();
    summary.left();
    EXPECT_EQ(summary.due(1, start + std::chrono::seconds(59)), "");
    summary.joined();
    EXPECT_EQ(summary.due(2, start + std::chrono::seconds(60)),
              "clients: 2 subscribed; 2 joined, 1 left since the last line");
    EXPECT_EQ(summary.due(2, start + std::chrono::minutes(5)), "");
    EXPECT_EQ(summary.due(1, start + std::chrono::minutes(6)),
              "clients: 1 subscribed; 0 joined, 0 left since the last line");
}

}  // namespace
