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
    withSubscribers([&seen](const std::vector<WsConnection*>& list) { seen = list; });
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

}  // namespace
