// The server component in this process on a loopback port of its own: what
// its broadcast delivers, to fast and slow clients, and its life cycle
// through the service's own start and stop.
#include "service_test.h"
#include "ws_client.h"
#include "ws_framing.h"
#include "publication/server_thread.h"
#include "publication/subscriber_list.h"
#include "publication/websocketcontrol.h"
#include "server/server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A port nobody listens on now.
unsigned short freePort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

ServerSettings loopbackSettings() {
    static ServerFigures figures;
    ServerSettings settings;
    settings.address = "127.0.0.1";
    settings.port = freePort();
    settings.figures = &figures;
    return settings;
}

// The component alone, serving on its own thread; clients are told apart
// by the order in which they opened.
class ServerComponent : public testing::Test {
protected:
    void SetUp() override {
        server::Events events;
        events.opened = [this](server::Connection& connection) {
            std::lock_guard<std::mutex> lock(guard_);
            opened_.push_back(&connection);
            return true;
        };
        events.closed = [this](server::Connection&) {
            std::lock_guard<std::mutex> lock(guard_);
            ++closed_;
        };
        server_ = std::make_unique<server::Server>(settings_, events);
        thread_ = std::thread([this] { server_->serve(); });
    }
    void TearDown() override {
        server_->stop(std::chrono::milliseconds(0));
        thread_.join();
    }
    std::unique_ptr<WsClient> connect() {
        const std::size_t before = openedCount();
        auto client = WsClient::connect(settings_.port);
        EXPECT_TRUE(client && eventually([&] { return openedCount() > before; }));
        return client;
    }
    std::size_t openedCount() {
        std::lock_guard<std::mutex> lock(guard_);
        return opened_.size();
    }
    server::Connection* opened(std::size_t n) {
        std::lock_guard<std::mutex> lock(guard_);
        return opened_.at(n);
    }
    std::size_t closedCount() {
        std::lock_guard<std::mutex> lock(guard_);
        return closed_;
    }

    ServerSettings settings_ = loopbackSettings();
    std::unique_ptr<server::Server> server_;
    std::thread thread_;
    std::mutex guard_;
    std::vector<server::Connection*> opened_;
    std::size_t closed_ = 0;
};

TEST_F(ServerComponent, BroadcastGivesEachNamedConnectionItsCopiesInOrder) {
    auto a = connect();
    auto b = connect();
    auto bystander = connect();
    // Lengths that take each of the three forms of a frame's length.
    const std::vector<std::string> messages{"short", std::string(300, 'm'), std::string(70000, 'l')};
    for (const std::string& message : messages)
        server_->broadcast(std::make_shared<const std::string>(message), {opened(0), opened(1), opened(0)});
    for (const std::string& message : messages)
        for (WsClient* client : {a.get(), a.get(), b.get()}) expectNextMessage(*client, message);
    EXPECT_FALSE(bystander->receive(100ms));

    // Copies for one client's many subscriptions are no backlog: 300 of a
    // 12 KB message (3.6 MB) reach a client that reads, however slowly.
    const std::string escaped(12000, 'e');
    server_->broadcast(std::make_shared<const std::string>(escaped), std::vector<server::Connection*>(300, opened(1)));
    for (int copy = 0; copy < 300; ++copy) {
        const auto got = b->receive();
        ASSERT_TRUE(got && got->payload == escaped) << copy;
    }

    // So many entries that two threads share the sends.
    std::vector<server::Connection*> crowd(1100, opened(0));
    crowd.insert(crowd.end(), 1100, opened(1));
    server_->broadcast(std::make_shared<const std::string>("crowd"), crowd);
    for (auto* client : {a.get(), b.get()})
        for (int copy = 0; copy < 1100; ++copy) {
            const auto got = client->receive();
            ASSERT_TRUE(got && got->payload == "crowd") << copy;
        }
}

// A client that stops reading makes its messages wait, whole, behind one
// another, while the others get theirs at once; the pongs that answer its
// pings meanwhile take the same queue and never cut into a message.
// (Small socket buffers in the sandbox's network namespace make the
// messages wait in the server, not in the kernel.)
TEST_F(ServerComponent, ReaderThatIsBehindGetsEveryMessageWholeAndHoldsNobodyUp) {
    REQUIRE_SANDBOX();
    shrinkSocketBuffers();
    auto slow = connect();
    auto fast = connect();
    std::vector<std::string> messages;
    for (int n = 0; n < 12; ++n) {
        messages.push_back(std::string(6000, static_cast<char>('a' + n)));
        server_->broadcast(std::make_shared<const std::string>(messages.back()), {opened(0), opened(1)});
        ASSERT_TRUE(slow->sendFrame(WsClient::kPing, "are you there"));
        expectNextMessage(*fast, messages.back());
    }
    const int large = 1 << 20;  // reads at full speed from here on
    setsockopt(slow->descriptor(), SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    for (const std::string& message : messages) expectNextMessage(*slow, message);
}

class ServerWithQuickStallTimeout : public ServerComponent {
protected:
    void SetUp() override {
        settings_.stallTimeout = 500ms;
        ServerComponent::SetUp();
    }
};

// A client that floods pings and reads no pong is no longer read once its
// pongs wait in the server, and the stall timeout lets it go; a client that
// reads is served all along.
TEST_F(ServerWithQuickStallTimeout, PingFlooderThatNeverReadsIsLetGo) {
    REQUIRE_SANDBOX();
    shrinkSocketBuffers();
    auto flooder = connect();
    auto reader = connect();
    std::string pings;  // sent round and round
    for (int i = 0; i < 256; ++i) pings += clientFrame(WsClient::kPing, std::string(125, 'p'));
    std::size_t taken = 0;
    EXPECT_TRUE(eventually([&] {
        const std::size_t at = taken % pings.size();
        const ssize_t sent = send(flooder->descriptor(), pings.data() + at, pings.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) taken += static_cast<std::size_t>(sent);
        return closedCount() == 1;
    })) << taken << " bytes of pings taken";
    server_->broadcast(std::make_shared<const std::string>("still here"), {opened(1)});
    expectNextMessage(*reader, "still here");
}

// The service's layer over it: the console lines of its start, its stop with
// clients connected, and a stop that comes before the thread starts.
class WebSocketServer : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        settings_ = loopbackSettings();
        server_ = std::make_unique<WebsocketControl>(settings_);
        server_->SocketLinkRecvSetCallback(socketPthreadGetDataCall);
        server_->SocketLinkCloseSetCallback(socketPthreadCloseConn);
    }
    void TearDown() override {
        stop();
        const std::string printed = testing::internal::GetCapturedStdout();
        if (HasFailure()) fprintf(stderr, "%s", printed.c_str());
    }
    void stop() {
        if (server_) server_->closeWebsocketServer();
        if (thread_.joinable()) thread_.join();
        server_.reset();
    }

    ServerSettings settings_;
    std::unique_ptr<WebsocketControl> server_;
    std::thread thread_;
};

TEST_F(WebSocketServer, SecondSetupReturnsAtOnceAndStopClosesEveryClient) {
    thread_ = std::thread([this] { server_->setupWebsocketServer(); });
    auto subscriber = WsClient::connect(settings_.port);
    auto idle = WsClient::connect(settings_.port);
    ASSERT_TRUE(subscriber && idle);
    subscriber->sendText("hello");
    ASSERT_TRUE(eventually([] { return subscriberCount() == 1; }));
    EXPECT_EQ(server_->setupWebsocketServer(), 0);
    stop();
    EXPECT_EQ(subscriberCount(), 0u);
    EXPECT_TRUE(subscriber->waitClosed());
    EXPECT_TRUE(idle->waitClosed());
    fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(printed.find("setup websocket"), printed.rfind("setup websocket")) << printed;
}

TEST_F(WebSocketServer, StopBeforeTheThreadStartsMeansItNeverServes) {
    server_->closeWebsocketServer();
    EXPECT_EQ(server_->setupWebsocketServer(), 0);
    EXPECT_FALSE(WsClient::connect(settings_.port, 100ms));
}

// Through the service's own start and stop, with the detached thread: every
// cycle leaves the port free and nothing behind.
TEST(ServerThread, ManyStartStopCycles) {
    testing::internal::CaptureStdout();
    const ServerSettings settings = loopbackSettings();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(toStartSocetServers(settings), 0);
        if (cycle % 2 == 1) {
            auto client = WsClient::connect(settings.port);
            ASSERT_TRUE(client) << cycle;
            client->sendText("hi");
        }
        stopWebsocketServer();
        ASSERT_EQ(websocket, nullptr);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

}  // namespace
