// The WebSocket server's life cycle in this process, with real clients on
// port 9010; what clients see is tested through the real binary.
#include "sandbox.h"
#include "server_thread.h"
#include "service_stats.h"
#include "service_process.h"
#include "subscriber_list.h"
#include "websocketcontrol.h"
#include "ws_client.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

ServerSettings settings() {
    static ServiceStats stats({});
    ServerSettings settings;
    settings.stats = &stats;
    return settings;
}

class WebSocketServer : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        testing::internal::CaptureStdout();
        capturing_ = true;
        server_ = std::make_unique<WebsocketControl>(settings());
        server_->SocketLinkRecvSetCallback(socketPthreadGetDataCall);
        server_->SocketLinkCloseSetCallback(socketPthreadCloseConn);
    }
    // What the server prints goes to standard output, and so do the test's
    // own failure messages while it is captured: show them on failure.
    void TearDown() override {
        stop();
        if (capturing_) printed();
        if (HasFailure()) fprintf(stderr, "%s", printed_.c_str());
    }

    void start() {
        thread_ = std::thread([this] { server_->setupWebsocketServer(); });
    }
    void stop() {
        if (server_) server_->closeWebsocketServer();
        if (thread_.joinable()) thread_.join();
        server_.reset();
    }
    std::unique_ptr<WsClient> subscribed(std::string_view hello = "hello") {
        auto client = WsClient::connect();
        EXPECT_TRUE(client);
        if (!client) return client;
        const int before = subscriptions();
        client->sendText(hello);
        waitFor([&] { return subscriptions() > before; });
        return client;
    }
    static int subscriptions() { return static_cast<int>(subscriberCount()); }

    template <class Condition>
    bool waitFor(Condition condition, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    std::string printed() {
        fflush(stdout);
        capturing_ = false;
        printed_ = testing::internal::GetCapturedStdout();
        return printed_;
    }

    std::unique_ptr<WebsocketControl> server_;
    std::thread thread_;
    bool capturing_ = false;
    std::string printed_;
};

TEST_F(WebSocketServer, SetupWhileRunningReturnsAtOnce) {
    start();
    ASSERT_TRUE(WsClient::connect());
    EXPECT_EQ(server_->setupWebsocketServer(), 0);
    stop();
    EXPECT_EQ(occurrences(printed(), "setup websocket"), 1);
}

TEST_F(WebSocketServer, StopWithClientsConnectedClosesThem) {
    start();
    auto a = subscribed();
    auto b = subscribed();
    auto c = WsClient::connect();
    stop();
    EXPECT_EQ(subscriptions(), 0);
    EXPECT_TRUE(a->waitClosed());
    EXPECT_TRUE(c->waitClosed());
}

TEST_F(WebSocketServer, StopBeforeTheThreadStartsMeansItNeverServes) {
    server_->closeWebsocketServer();
    EXPECT_EQ(server_->setupWebsocketServer(), 0);
    EXPECT_FALSE(WsClient::connect(9010, 100ms));
}

// Through the service's own start and stop, with the detached thread: every
// cycle leaves the port free and nothing behind.
TEST(ServerThread, ManyStartStopCycles) {
    REQUIRE_SANDBOX();
    testing::internal::CaptureStdout();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(toStartSocetServers(settings()), 0);
        if (cycle % 2 == 1) {
            auto client = WsClient::connect();
            ASSERT_TRUE(client) << cycle;
            client->sendText("hi");
        }
        stopWebsocketServer();
        ASSERT_EQ(websocket, nullptr);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "ERROR"), 0) << out;
    EXPECT_EQ(occurrences(out, "pthread_detach "), 50);
}

}  // namespace
