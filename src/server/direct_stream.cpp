#include "direct_stream.h"

#include <boost/asio/post.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <deque>
#include <utility>

namespace net = boost::asio;
using boost::system::error_code;

struct DirectStream::Core : std::enable_shared_from_this<Core> {
    explicit Core(next_layer_type tcp) : stream(std::move(tcp)) {}

    struct Entry {
        Bytes bytes;
        std::size_t copies = 1;
    };

    void push(Entry entry);
    void writeAll();
    void waitForRoom();
    void fail(error_code ec);
    void complete(Completion done, error_code ec, std::size_t size);

    next_layer_type stream;
    std::deque<Entry> queue;
    std::size_t written = 0;  // of the first entry's current copy
    std::size_t bytes = 0;
    bool waiting = false;
    error_code failed;
    std::chrono::steady_clock::time_point lastProgress;
};

void DirectStream::Core::push(Entry entry) {
    if (failed) return;
    const bool idle = queue.empty();
    if (!idle && queue.back().bytes == entry.bytes) {
        ++queue.back().copies;
        return;
    }
    bytes += entry.bytes->size();
    queue.push_back(std::move(entry));
    if (!idle) return;  // behind what waits for room
    lastProgress = std::chrono::steady_clock::now();
    writeAll();
}

// As much as the socket takes now, without waiting.
void DirectStream::Core::writeAll() {
    const int socket = stream.socket().native_handle();
    while (!queue.empty()) {
        Entry& first = queue.front();
        const std::string& data = *first.bytes;
        const ssize_t sent = ::send(socket, data.data() + written, data.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return waitForRoom();
            return fail(error_code(errno, boost::system::system_category()));
        }
        lastProgress = std::chrono::steady_clock::now();
        written += static_cast<std::size_t>(sent);
        if (written < data.size()) continue;
        written = 0;
        if (--first.copies > 0) continue;
        bytes -= data.size();
        queue.pop_front();
    }
}

void DirectStream::Core::waitForRoom() {
    if (waiting) return;
    waiting = true;
    stream.socket().async_wait(net::socket_base::wait_write, [self = shared_from_this()](error_code ec) {
        self->waiting = false;
        if (ec)
            self->fail(ec);
        else
            self->writeAll();
    });
}

// A client gone, or its socket closed: what waits is dropped, and the
// pending read fails (the socket closes).
void DirectStream::Core::fail(error_code ec) {
    if (!failed) failed = ec;
    queue.clear();
    bytes = 0;
    written = 0;
    error_code ignored;
    stream.socket().close(ignored);
}

void DirectStream::Core::complete(Completion done, error_code ec, std::size_t size) {
    if (!done) return;
    // Never from inside the call that started the write.
    net::post(stream.get_executor(), [done = std::move(done), ec, size]() mutable { std::move(done)(ec, size); });
}

DirectStream::DirectStream(next_layer_type stream) : core_(std::make_shared<Core>(std::move(stream))) {}

DirectStream::~DirectStream() {
    if (!core_) return;  // moved from
    error_code ignored;
    core_->stream.socket().close(ignored);
}

DirectStream::executor_type DirectStream::get_executor() { return core_->stream.get_executor(); }
DirectStream::next_layer_type& DirectStream::next_layer() { return core_->stream; }
const DirectStream::next_layer_type& DirectStream::next_layer() const { return core_->stream; }

// Beast's write completes once its bytes have joined the queue: a write
// that waited for a slow reader would hold Beast's operation, and with it
// this stream, in the queue's own state, a circle that nothing breaks when
// the server stops with the client still behind.
void DirectStream::write(Bytes bytes, Completion done) {
    const std::size_t size = bytes->size();
    core_->push({std::move(bytes), 1});
    core_->complete(std::move(done), core_->failed, core_->failed ? 0 : size);
}

void DirectStream::send(const Bytes& frame) { core_->push({frame, 1}); }

std::size_t DirectStream::queuedEntries() const { return core_->queue.size(); }
std::size_t DirectStream::queuedBytes() const { return core_->bytes; }
std::chrono::steady_clock::time_point DirectStream::lastProgress() const { return core_->lastProgress; }

bool DirectStream::wouldRepeatLast(const Bytes& frame) const {
    return !core_->queue.empty() && core_->queue.back().bytes == frame;
}

DirectStream::Bytes framed(const std::string& payload, bool text) {
    std::string frame;
    frame.reserve(payload.size() + 10);
    frame.push_back(static_cast<char>(text ? 0x81 : 0x82));  // FIN, opcode
    const std::size_t size = payload.size();
    if (size < 126) {
        frame.push_back(static_cast<char>(size));
    } else if (size <= 0xFFFF) {
        frame.push_back(static_cast<char>(126));
        for (int shift = 8; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    } else {
        frame.push_back(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((static_cast<std::uint64_t>(size) >> shift) & 0xFF));
    }
    frame += payload;
    return std::make_shared<const std::string>(std::move(frame));
}

void teardown(boost::beast::role_type role, DirectStream& stream, error_code& ec) {
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}
