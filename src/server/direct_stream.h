// A plain WebSocket client's TCP stream that writes at once: bytes go
// straight to the socket while it has room, and wait in a queue only behind
// a client that reads slowly. Every write takes that one road, Beast's own
// (the handshake's answer, pings, pongs, close frames) and messages framed
// once for many clients alike, so frames never interleave.
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
#include <memory>
#include <string>

class DirectStream {
public:
    using next_layer_type = boost::beast::tcp_stream;
    using executor_type = next_layer_type::executor_type;
    using Completion = boost::asio::any_completion_handler<void(boost::system::error_code, std::size_t)>;
    using Bytes = std::shared_ptr<const std::string>;

    explicit DirectStream(next_layer_type stream);
    DirectStream(DirectStream&& other) noexcept = default;
    DirectStream& operator=(DirectStream&&) = delete;
    ~DirectStream();

    executor_type get_executor();
    next_layer_type& next_layer();
    const next_layer_type& next_layer() const;

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return next_layer().async_read_some(buffers, std::forward<Token>(token));
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

    // Entries and bytes that wait for the socket.
    std::size_t queuedEntries() const;
    std::size_t queuedBytes() const;
    bool wouldRepeatLast(const Bytes& frame) const;
    // When the socket last took bytes, or the queue last began.
    std::chrono::steady_clock::time_point lastProgress() const;

private:
    void write(Bytes bytes, Completion done);

    struct Core;
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
