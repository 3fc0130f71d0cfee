// TLS over a client's TCP stream, lean enough for a thousand idle
// subscribers: OpenSSL writes its records into a string and reads them
// from one, and both are empty (and hold no memory) while the client is
// idle. Asio's own SSL stream keeps four 17 KB buffers per connection
// instead. The TCP stream underneath keeps Beast's timeouts.
//
// Lifetime rules:
// - Used from one thread (the executor's); a read and a write may be under
//   way at once, as a WebSocket stream needs, but no two reads or two
//   writes.
// - The connection's state (the TCP stream, OpenSSL's object and the
//   records on their way) lives apart from this object, and I/O under way
//   holds it. So a stream may be moved with I/O pending (the I/O goes on,
//   for the new owner), and destroyed with I/O pending: the socket closes,
//   and the pending operations complete with operation_aborted, or are
//   simply destroyed with an io_context that no longer runs.
// - A read completes as soon as OpenSSL has plaintext or the client has
//   gone; it never waits for a write the client does not take. A write,
//   the handshake and the shutdown complete once their records are out.
// - When OpenSSL cannot make the connection's state (out of memory), ok()
//   is false and every operation fails with no_memory.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct TlsStreamBio;

class TlsStream {
public:
    using next_layer_type = boost::beast::tcp_stream;
    using executor_type = next_layer_type::executor_type;
    using Completion = boost::asio::any_completion_handler<void(boost::system::error_code, std::size_t)>;

    TlsStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);
    TlsStream(TlsStream&& other) noexcept = default;
    TlsStream& operator=(TlsStream&&) = delete;
    ~TlsStream();

    bool ok() const;
    // Bytes read from the socket before the stream took it over (the first
    // one, which tells a TLS client from a plain one): OpenSSL reads them
    // before anything else.
    void putBack(std::string_view bytes);
    executor_type get_executor();
    next_layer_type& next_layer();
    const next_layer_type& next_layer() const;

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return initiate(std::forward<Token>(token), [this, buffers](Completion done) {
            startRead(*boost::asio::buffer_sequence_begin(buffers), std::move(done));
        });
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return initiate(std::forward<Token>(token), [this, buffers](Completion done) {
            // Several buffers (a frame's header and its payload) go as one
            // record rather than one each.
            const std::size_t size = std::min<std::size_t>(boost::asio::buffer_size(buffers), kMaxRecord);
            auto flat = std::make_shared<std::string>(size, '\0');
            boost::asio::buffer_copy(boost::asio::buffer(*flat), buffers);
            startWrite(std::move(flat), std::move(done));
        });
    }

    template <class Token>
    auto async_handshake(Token&& token) {
        return initiate(std::forward<Token>(token), [this](Completion done) { startHandshake(std::move(done)); });
    }

    // Sends close_notify; does not wait for the client's.
    template <class Token>
    auto async_shutdown(Token&& token) {
        return initiate(std::forward<Token>(token), [this](Completion done) { startShutdown(std::move(done)); });
    }

private:
    static constexpr std::size_t kMaxRecord = 16 * 1024;

    template <class Token, class Start>
    auto initiate(Token&& token, Start start) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [start](auto handler) mutable { start(Completion(std::move(handler))); }, token);
    }

    void startRead(boost::asio::mutable_buffer buffer, Completion done);
    void startWrite(std::shared_ptr<const std::string> bytes, Completion done);
    void startHandshake(Completion done);
    void startShutdown(Completion done);

    struct Core;
    friend struct TlsStreamBio;
    std::shared_ptr<Core> core_;
};

// What a WebSocket stream over TLS does at its end: close_notify, then the
// socket closes.
void teardown(boost::beast::role_type role, TlsStream& stream, boost::system::error_code& ec);

template <class Handler>
void async_teardown(boost::beast::role_type, TlsStream& stream, Handler&& handler) {
    stream.async_shutdown([&stream, handler = std::forward<Handler>(handler)](boost::system::error_code,
                                                                              std::size_t) mutable {
        boost::system::error_code ec;
        stream.next_layer().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
        stream.next_layer().socket().close(ec);
        handler(boost::system::error_code{});
    });
}
