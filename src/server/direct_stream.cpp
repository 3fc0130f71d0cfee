#include "direct_stream.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <list>
#include <utility>

namespace net = boost::asio;
using boost::system::error_code;

namespace {

// What a queued entry costs beside its bytes (its list node, the string and
// its shared count), so that a flood of tiny frames is not counted as free.
constexpr std::size_t kEntryCost = 128;

}  // namespace

struct DirectStream::Core : std::enable_shared_from_this<Core> {
    Core(next_layer_type tcp, std::size_t limit) : stream(std::move(tcp)), allowance(limit) {}

    struct Entry {
        Bytes bytes;
        std::size_t copies = 1;
    };

    void push(const Bytes& data);
    std::size_t sendNow(const char* data, std::size_t size);
    void writeQueued();
    void waitForRoom();
    void fail(error_code ec);
    void complete(Completion done, error_code ec, std::size_t size);
    bool beyondAllowance() const { return !failed && bytes + queue.size() * kEntryCost > allowance; }
    void resumeReadIfWithin();

    next_layer_type stream;
    std::list<Entry> queue;  // no memory at all while empty, as for almost every client
    std::size_t written = 0;  // of the first entry's current copy
    std::size_t bytes = 0;
    bool waiting = false;
    bool corked = false;
    error_code failed;
    std::chrono::steady_clock::time_point lastProgress;
    std::size_t allowance;
    // A read beyond the allowance waits on it until cancelled.
    net::steady_timer readWait{stream.get_executor()};
    bool readWaiting = false;
    std::function<void()> progress;
};

void DirectStream::Core::push(const Bytes& data) {
    if (failed) return;
    if (queue.empty()) {
        // Most often the socket takes it all at once, and nothing is queued.
        lastProgress = std::chrono::steady_clock::now();
        const std::size_t sent = sendNow(data->data(), data->size());
        if (failed || sent == data->size()) return;
        queue.push_back({data, 1});
        bytes = data->size();
        written = sent;
        return writeQueued();
    }
    if (queue.back().bytes == data) {
        ++queue.back().copies;
        return;
    }
    bytes += data->size();
    queue.push_back({data, 1});
}

// What the socket takes of the bytes now, without waiting; a failure ends
// the stream.
std::size_t DirectStream::Core::sendNow(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t result =
            ::send(stream.socket().native_handle(), data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (result >= 0) {
            sent += static_cast<std::size_t>(result);
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) fail(error_code(errno, boost::system::system_category()));
            break;
        }
    }
    return sent;
}

// The queue, in order, as far as the socket takes it now.
void DirectStream::Core::writeQueued() {
    while (!queue.empty()) {
        Entry& first = queue.front();
        const std::string& data = *first.bytes;
        const std::size_t sent = sendNow(data.data() + written, data.size() - written);
        if (failed) return;
        if (sent > 0) lastProgress = std::chrono::steady_clock::now();
        written += sent;
        if (written < data.size()) {
            if (waiting) return;  // armed after an earlier refusal: room wakes it
            // Armed, then tried once more: room that came between the
            // refusal and the wait would wake nobody (the readiness of an
            // edge-triggered poll).
            waitForRoom();
            continue;
        }
        written = 0;
        if (--first.copies > 0) continue;
        bytes -= data.size();
        queue.pop_front();
    }
}

void DirectStream::Core::waitForRoom() {
    waiting = true;
    stream.socket().async_wait(net::socket_base::wait_write, [self = shared_from_this()](error_code ec) {
        self->waiting = false;
        if (ec)
            self->fail(ec);
        else
            self->writeQueued();
        self->resumeReadIfWithin();
        if (!self->failed && self->progress) self->progress();
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
    resumeReadIfWithin();
}

// A read waits only while the queue is beyond the allowance, so never with
// the queue empty: the socket's wait for room is armed meanwhile, and a
// closed socket ends that wait and, through fail(), this one.
void DirectStream::Core::resumeReadIfWithin() {
    if (readWaiting && !beyondAllowance()) readWait.cancel();
}

void DirectStream::Core::complete(Completion done, error_code ec, std::size_t size) {
    if (!done) return;
    // Never from inside the call that started the write.
    net::post(stream.get_executor(), [done = std::move(done), ec, size]() mutable { std::move(done)(ec, size); });
}

DirectStream::DirectStream(next_layer_type stream, std::size_t allowance)
    : core_(std::make_shared<Core>(std::move(stream), allowance)) {}

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
    core_->push(bytes);
    core_->complete(std::move(done), core_->failed, core_->failed ? 0 : size);
}

void DirectStream::send(const Bytes& frame) { core_->push(frame); }

void DirectStream::gather(bool on) {
    if (core_->failed || core_->corked == on) return;
    const int value = on ? 1 : 0;
    if (setsockopt(core_->stream.socket().native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value) == 0)
        core_->corked = on;
}

std::size_t DirectStream::queuedEntries() const { return core_->queue.size(); }
std::size_t DirectStream::queuedBytes() const { return core_->bytes; }
std::chrono::steady_clock::time_point DirectStream::lastProgress() const { return core_->lastProgress; }

void DirectStream::setAllowance(std::size_t bytes) {
    core_->allowance = bytes;
    core_->resumeReadIfWithin();
}

void DirectStream::onProgress(std::function<void()> progress) { core_->progress = std::move(progress); }

bool DirectStream::beyondAllowance(const Core& core) { return core.beyondAllowance(); }
DirectStream::next_layer_type& DirectStream::tcpOf(Core& core) { return core.stream; }

void DirectStream::whenWithinAllowance(const std::shared_ptr<Core>& core, Resume resume) {
    core->readWaiting = true;
    core->readWait.expires_at(std::chrono::steady_clock::time_point::max());
    core->readWait.async_wait([core, resume = std::move(resume)](error_code) mutable {
        core->readWaiting = false;
        std::move(resume)();
    });
}

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
