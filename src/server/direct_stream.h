// A plain WebSocket client's TCP stream that writes at once: bytes go
// straight to the socket while it has room, and wait in a queue only behind
// a client that reads slowly. Every write takes that one road, Beast's own
// (the handshake's answer, pings, pongs, close frames) and messages framed
// once for many clients alike, so frames never interleave.
//
// Every byte queued counts against the client's allowance, Beast's own
// frames too: while more waits than it allows, the client is not read from
// (a client that sends pings and reads no pongs would otherwise grow the
// queue without end), until the socket takes enough of the queue.
//
// Lifetime rules, as for TlsStream: used from one thread (the executor's);
// the connection's state (the TCP stream and the queue) lives apart from
// this object and writes under way hold it, so the stream may be moved or
// destroyed with I/O pending (the socket closes, and what waits fails with
// operation_aborted).
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class DirectStream {
public:
    using next_layer_type = boost::beast::tcp_stream;
    using executor_type = next_layer_type::executor_type;
    using Completion = boost::asio::any_completion_handler<void(boost::system::error_code, std::size_t)>;
    using Bytes = std::shared_ptr<const std::string>;

    // `allowance`: how many queued bytes still let the client be read.
    DirectStream(next_layer_type stream, std::size_t allowance);
    DirectStream(DirectStream&& other) noexcept = default;
    DirectStream& operator=(DirectStream&&) = delete;
    ~DirectStream();

    executor_type get_executor();
    next_layer_type& next_layer();
    const next_layer_type& next_layer() const;

    // Reads as the TCP stream does, once the queue is within the allowance.
    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [core = core_](auto handler, const Buffers& buffers) {
                readWithinAllowance(core, buffers, std::move(handler));
            },
            token, buffers);
    }

    // Beast's writes: their bytes join the queue, and the write completes
    // at once.
    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this, buffers](auto handler) {
                auto flat = std::make_shared<std::string>(boost::asio::buffer_size(buffers), '\0');
                boost::asio::buffer_copy(boost::asio::buffer(*flat), buffers);
                write(std::move(flat), Completion(std::move(handler)));
            },
            token);
    }

    // A frame built once for many clients. Sent again right behind itself
    // (one client's several subscriptions), it is one entry written again.
    void send(const Bytes& frame);

    // While on, the socket holds back partly filled packets (TCP_CORK), so
    // that frames written one after another leave together; off sends what
    // it holds at once. A socket that refuses only sends each frame alone.
    void gather(bool on);

    // Entries and bytes that wait for the socket.
    std::size_t queuedEntries() const;
    std::size_t queuedBytes() const;
    bool wouldRepeatLast(const Bytes& frame) const;
    void setAllowance(std::size_t bytes);
    // Called each time the socket has taken queued bytes.
    void onProgress(std::function<void()> progress);
    // When the socket last took bytes, or the queue last began.
    std::chrono::steady_clock::time_point lastProgress() const;

private:
    struct Core;
    using Resume = boost::asio::any_completion_handler<void()>;

    void write(Bytes bytes, Completion done);

    // The read waits in the connection's state, not in this object, which
    // may go meanwhile; a closed socket ends the wait, and the read then
    // fails.
    template <class Buffers, class Handler>
    static void readWithinAllowance(const std::shared_ptr<Core>& core, const Buffers& buffers, Handler handler) {
        if (!beyondAllowance(*core)) {
            tcpOf(*core).async_read_some(buffers, std::move(handler));
            return;
        }
        whenWithinAllowance(core, [core, buffers, handler = std::move(handler)]() mutable {
            readWithinAllowance(core, buffers, std::move(handler));
        });
    }
    static bool beyondAllowance(const Core& core);
    static next_layer_type& tcpOf(Core& core);
    static void whenWithinAllowance(const std::shared_ptr<Core>& core, Resume resume);

    std::shared_ptr<Core> core_;
};

// A server frame (FIN, not masked) around the payload: text or binary.
DirectStream::Bytes framed(const std::string& payload, bool text);

void teardown(boost::beast::role_type role, DirectStream& stream, boost::system::error_code& ec);

template <class Handler>
void async_teardown(boost::beast::role_type role, DirectStream& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}
