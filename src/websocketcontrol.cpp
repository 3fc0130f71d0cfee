// Boost.Beast stays inside this file: it is slow to compile.
#include "websocketcontrol.h"

#include "console.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace beast = boost::beast;
namespace net = boost::asio;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

MessageCallback callbackfunc = nullptr;
CloseCallback callbackWebClose = nullptr;

namespace {

constexpr std::size_t kMessageBufferSize = 1024;
constexpr std::size_t kMaxIncomingMessage = 64 * 1024;
// A client that stops reading is dropped once this many scans, or this many
// bytes of them, wait for it, so it can neither hold up the others nor grow
// the service's memory. Copies of one scan for one client's several
// subscriptions count once: they are one message written again.
constexpr std::size_t kMaxQueuedMessages = 256;
constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// Half of it without a frame from the peer sends a ping; the whole of it
// without an answer drops the peer.
constexpr auto kIdleTimeout = std::chrono::seconds(120);
// A write that makes no progress for the idle timeout drops its client too:
// a client may keep sending while it reads nothing. Checked this often.
constexpr auto kWriteProgressCheck = std::chrono::seconds(5);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// At shutdown, how long messages already handed over may take to reach
// their clients (the last scan before an unplug, say).
constexpr auto kShutdownPatience = std::chrono::seconds(1);
constexpr auto kShutdownPoll = std::chrono::milliseconds(5);

std::atomic<int> nextConnectionId{1};

// Clients must never take the descriptors that the relay needs to reopen the
// scanner's port and to convert each scan, nor those of the server itself.
constexpr rlim_t kReservedDescriptors = 32;

// As many clients as the descriptors allow, less the reserve. The soft limit
// is raised to the hard one first: under a service manager it is often far
// lower, and nothing here is limited by descriptor numbers.
std::size_t connectionLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024 - kReservedDescriptors;
    if (files.rlim_cur < files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
    }
    if (files.rlim_cur <= kReservedDescriptors) return 1;
    return static_cast<std::size_t>(
        std::min<rlim_t>(files.rlim_cur - kReservedDescriptors, std::numeric_limits<std::size_t>::max()));
}

struct Outgoing {
    std::shared_ptr<const std::string> bytes;
    bool text;
    std::size_t copies = 1;
    // The hand-over it came in: copies for several subscriptions of one
    // client come in one; a later scan with the same text does not.
    std::uint64_t batch = 0;
};

// How many connections exist, counted until each object, and with it its
// socket, is gone. Shared with the connections, so that the last of them
// may go after the server.
struct Occupancy {
    std::size_t live = 0;
    std::function<void()> resume;  // once there is room again
};

}  // namespace

class WsContext {
public:
    net::io_context io{1};

    void adopt(tcp::socket socket);
    void forget(WsConnection* connection);
    // Whether another client may connect now; if not, `resume` runs once
    // one has gone.
    bool hasRoom() const { return occupancy_->live < connectionLimit_; }
    void whenRoomAgain(std::function<void()> resume) { occupancy_->resume = std::move(resume); }
    const std::shared_ptr<Occupancy>& occupancy() const { return occupancy_; }
    // Drops, every few seconds, clients whose writes have stalled.
    void watchWriteProgress();
    // Any thread: hands a message to the server thread for the connection.
    // Sends travel in batches, so a scan for many subscribers wakes the
    // server thread once rather than once per subscriber.
    void queueSend(std::shared_ptr<WsConnection> connection, Outgoing message);
    // Any thread: stops the loop once every message handed over has been
    // written, or once the deadline has passed.
    void stopOnceSent(std::chrono::steady_clock::time_point deadline);
    // Reports every connection still open as closed; only once the loop has
    // stopped.
    void closeAll();

private:
    struct PendingSend {
        std::shared_ptr<WsConnection> connection;
        Outgoing message;
    };
    void deliverPendingSends();
    bool stillSending() const;

    net::steady_timer shutdownTimer_{io};
    net::steady_timer progressTimer_{io};
    std::unordered_map<WsConnection*, std::shared_ptr<WsConnection>> connections_;
    const std::size_t connectionLimit_ = connectionLimit();
    std::shared_ptr<Occupancy> occupancy_ = std::make_shared<Occupancy>();
    std::mutex pendingGuard_;
    std::vector<PendingSend> pending_;
    std::vector<PendingSend> delivering_;  // kept to reuse its storage
    std::uint64_t batches_ = 0;
};

class WsConnection : public std::enable_shared_from_this<WsConnection> {
public:
    WsConnection(tcp::socket socket, WsContext& context)
        : ws_(std::move(socket)), context_(context), occupancy_(context.occupancy()),
          id_(nextConnectionId++) {
        ++occupancy_->live;
    }

    ~WsConnection() {
        --occupancy_->live;
        if (occupancy_->resume) std::exchange(occupancy_->resume, nullptr)();
    }

    int id() const { return id_; }

    void start() {
        beast::get_lowest_layer(ws_).expires_never();  // the websocket stream keeps time
        websocket::stream_base::timeout timeouts{kHandshakeTimeout, kIdleTimeout, true};
        ws_.set_option(timeouts);
        ws_.read_message_max(kMaxIncomingMessage);
        ws_.async_accept(
            [self = shared_from_this()](beast::error_code ec) { self->onHandshake(ec); });
    }

    // Any thread: the bytes travel to the server thread, which writes them
    // after whatever is already queued for this connection.
    void send(std::shared_ptr<const std::string> bytes, bool text) {
        context_.queueSend(shared_from_this(), Outgoing{std::move(bytes), text});
    }

    bool sending() const { return !outgoing_.empty(); }
    // Closes the socket; the pending read then fails and reports the close.
    void drop() {
        acceptingSends_ = false;
        outgoing_.clear();
        queuedBytes_ = 0;
        beast::get_lowest_layer(ws_).close();
    }

    bool writeStalled(std::chrono::steady_clock::time_point now) const {
        return sending() && now - lastWriteProgress_ > kIdleTimeout;
    }

    bool makeNonBlocking() {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().non_blocking(true, ec);
        return !ec;
    }

    // Tells the close handler, once, about a connection that had been opened.
    void reportClosed() {
        acceptingSends_ = false;
        outgoing_.clear();
        if (!opened_) return;
        opened_ = false;
        WebsocketControl::on_connection_closed(this);
    }

    void enqueue(Outgoing message) {
        if (!acceptingSends_) return;  // closed meanwhile: nobody to send to
        const Outgoing* last = outgoing_.empty() ? nullptr : &outgoing_.back();
        if (last && last->bytes == message.bytes && last->text == message.text && last->batch == message.batch) {
            ++outgoing_.back().copies;
            return;
        }
        if (outgoing_.size() >= kMaxQueuedMessages ||
            queuedBytes_ + message.bytes->size() > kMaxQueuedBytes) {
            drop();
            return;
        }
        queuedBytes_ += message.bytes->size();
        outgoing_.push_back(std::move(message));
        if (outgoing_.size() == 1) writeNext();
    }

private:
    void onHandshake(beast::error_code ec) {
        if (ec || !WebsocketControl::on_connection_opened(this)) {
            drop();
            context_.forget(this);
        } else {
            opened_ = true;
            acceptingSends_ = true;
            readNext();
        }
        flushConsole();
    }

    void readNext() {
        ws_.async_read(incoming_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec) {
        if (ec) {
            // End of stream or a failure: the socket goes at once, and with
            // it any write still waiting for a peer that reads nothing.
            reportClosed();
            drop();
            context_.forget(this);
        } else {
            listener_on_message(this, static_cast<const char*>(incoming_.cdata().data()),
                                incoming_.size());
            incoming_.consume(incoming_.size());
            readNext();
        }
        flushConsole();
    }

    void writeNext() {
        lastWriteProgress_ = std::chrono::steady_clock::now();
        const Outgoing& next = outgoing_.front();
        ws_.text(next.text);
        // The handler keeps the bytes alive: a drop empties the queue while
        // the write may still be under way.
        ws_.async_write(net::buffer(*next.bytes),
                        [self = shared_from_this(), bytes = next.bytes](beast::error_code ec,
                                                                         std::size_t) {
                            self->onWrite(ec);
                        });
    }

    void onWrite(beast::error_code ec) {
        if (ec || outgoing_.empty()) {
            drop();
            return;
        }
        Outgoing& written = outgoing_.front();
        if (--written.copies == 0) {
            queuedBytes_ -= written.bytes->size();
            outgoing_.pop_front();
        }
        if (!outgoing_.empty()) writeNext();
    }


    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer incoming_;
    std::deque<Outgoing> outgoing_;
    std::size_t queuedBytes_ = 0;
    std::chrono::steady_clock::time_point lastWriteProgress_;
    WsContext& context_;
    const std::shared_ptr<Occupancy> occupancy_;
    const int id_;
    bool opened_ = false;
    bool acceptingSends_ = false;
};

void WsContext::adopt(tcp::socket socket) {
    auto connection = std::make_shared<WsConnection>(std::move(socket), *this);
    connections_.emplace(connection.get(), connection);
    connection->start();
}

void WsContext::forget(WsConnection* connection) { connections_.erase(connection); }

void WsContext::watchWriteProgress() {
    progressTimer_.expires_after(kWriteProgressCheck);
    progressTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        const auto now = std::chrono::steady_clock::now();
        for (auto& entry : connections_)
            if (entry.second->writeStalled(now)) entry.second->drop();
        watchWriteProgress();
    });
}

void WsContext::queueSend(std::shared_ptr<WsConnection> connection, Outgoing message) {
    bool wakeServerThread;
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        wakeServerThread = pending_.empty();
        pending_.push_back(PendingSend{std::move(connection), std::move(message)});
    }
    if (wakeServerThread) net::post(io, [this] { deliverPendingSends(); });
}

void WsContext::deliverPendingSends() {
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        delivering_.swap(pending_);
    }
    ++batches_;
    for (auto& send : delivering_) {
        send.message.batch = batches_;
        send.connection->enqueue(std::move(send.message));
    }
    delivering_.clear();
}

void WsContext::stopOnceSent(std::chrono::steady_clock::time_point deadline) {
    net::post(io, [this, deadline] {
        deliverPendingSends();
        if (!stillSending() || std::chrono::steady_clock::now() >= deadline) {
            io.stop();
            return;
        }
        shutdownTimer_.expires_after(kShutdownPoll);
        shutdownTimer_.async_wait([this, deadline](beast::error_code) { stopOnceSent(deadline); });
    });
}

bool WsContext::stillSending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& entry) { return entry.second->sending(); });
}

void WsContext::closeAll() {
    {
        std::lock_guard<std::mutex> lock(pendingGuard_);
        pending_.clear();
    }
    occupancy_->resume = nullptr;  // the listener is gone
    for (auto& entry : connections_) entry.second->reportClosed();
    connections_.clear();
}

class WsListener {
public:
    WsListener(WsContext& context, unsigned short port)
        : context_(context), acceptor_(context.io), retryTimer_(context.io) {
        beast::error_code ec;
        const tcp::endpoint endpoint(net::ip::make_address_v4("0.0.0.0"), port);
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        ok_ = !ec;
    }

    bool isOk() const { return ok_; }

    void acceptNext() {
        acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
            onAccept(ec, std::move(socket));
        });
    }

private:
    void onAccept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;  // the listener was closed
        if (ec) {
            // Out of descriptors, say: keep listening, but give the
            // system a moment rather than spin.
            fprintf(stderr, "accept: %s\n", ec.message().c_str());
            retryTimer_.expires_after(kAcceptRetryDelay);
            retryTimer_.async_wait([this](beast::error_code waitError) {
                if (!waitError) acceptNext();
            });
            return;
        }
        socket.set_option(tcp::no_delay(true), ec);
        context_.adopt(std::move(socket));
        // At the limit, further clients wait in the listen queue until one
        // leaves.
        if (context_.hasRoom())
            acceptNext();
        else
            context_.whenRoomAgain([this] { acceptNext(); });
    }

    WsContext& context_;
    tcp::acceptor acceptor_;
    net::steady_timer retryTimer_;
    bool ok_ = false;
};

int connectionId(const WsConnection* connection) { return connection->id(); }

void listener_on_message(WsConnection* connection, const char* payload, std::size_t size) {
    if (size < 1) {
        printf("size of msg is 0 or msg = NULL(connet id = %d)", connectionId(connection));
        return;
    }
    char message[kMessageBufferSize] = {};
    memcpy(message, payload, std::min(size, sizeof message - 1));
    // Escaped, so that no client can write lines of its own into the log.
    printf("debug:%s \n", escapedForConsole(message, sizeof message).c_str());
    if (callbackfunc == nullptr) return;
    // A payload too long for the buffer is passed on as it is, so the
    // callback never sees a length beyond the bytes it is given.
    char* bytes = size < sizeof message ? message : const_cast<char*>(payload);
    callbackfunc(connection, bytes, static_cast<int>(size));
}

WebsocketControl::WebsocketControl(unsigned short port) : port_(port) {
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

WebsocketControl::~WebsocketControl() {
    closeWebsocketServer();
    callbackfunc = nullptr;
    callbackWebClose = nullptr;
}

int WebsocketControl::SocketLinkRecvSetCallback(MessageCallback callback) {
    callbackfunc = callback;
    return 0;
}

int WebsocketControl::SocketLinkCloseSetCallback(CloseCallback callback) {
    callbackWebClose = callback;
    return 0;
}

int WebsocketControl::setupWebsocketServer() {
    {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (running == 1 || serving_) return 0;
        if (stopRequested_) return 0;  // stopped before this thread got here
        releaseServer();
        ctx = new WsContext;
        serving_ = true;
    }
    puts("setup websocket");
    listener = new WsListener(*ctx, port_);
    int result = 0;
    if (!listener->isOk()) {
        puts("ERROR: Expected to find proper listener connection status, but found..");
        result = -1;
    } else {
        {
            std::lock_guard<std::mutex> lock(lifecycle_);
            running = 1;
        }
        listener->acceptNext();
        ctx->watchWriteProgress();
        flushConsole();
        ctx->io.run();
    }
    flushConsole();
    std::lock_guard<std::mutex> lock(lifecycle_);
    serving_ = false;
    serverThreadDone_.notify_all();
    return result;
}

namespace {

// One scan goes to every subscriber in a row: they share one copy of it.
std::shared_ptr<const std::string> sharedCopy(const char* bytes, int length) {
    thread_local std::shared_ptr<const std::string> last;
    const auto size = static_cast<std::size_t>(std::max(length, 0));
    if (!last || last->size() != size || memcmp(last->data(), bytes, size) != 0)
        last = std::make_shared<const std::string>(bytes, size);
    return last;
}

}  // namespace

int WebsocketControl::doSendText(WsConnection* connection, const char* text, int length) {
    puts("call websocket doSend");
    connection->send(sharedCopy(text, length), true);
    return 0;
}

int WebsocketControl::doSendBinary(WsConnection* connection, const char* data, int length) {
    puts("call websocket doSend");
    connection->send(sharedCopy(data, length), false);
    return 0;
}

int WebsocketControl::closeWebsocketServer() {
    std::unique_lock<std::mutex> lock(lifecycle_);
    stopRequested_ = true;
    if (serving_) {
        ctx->stopOnceSent(std::chrono::steady_clock::now() + kShutdownPatience);
        serverThreadDone_.wait(lock, [this] { return !serving_; });
    }
    releaseServer();
    running = 0;
    return 0;
}

bool WebsocketControl::on_connection_opened(WsConnection* connection) {
    printf("new conn id %d\n", connectionId(connection));
    if (connection->makeNonBlocking()) return true;
    puts("ERROR: failed to configure non-blocking state to connection..");
    return false;
}

void WebsocketControl::on_connection_closed(WsConnection* connection) {
    printf("Reg test: called connection close (TLS: %d)..\n", 0);
    if (callbackWebClose != nullptr) callbackWebClose(connection);
}

void WebsocketControl::releaseServer() {
    delete listener;
    listener = nullptr;
    if (ctx != nullptr) ctx->closeAll();
    delete ctx;
    ctx = nullptr;
}
