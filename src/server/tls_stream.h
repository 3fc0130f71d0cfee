// TLS over a client's TCP stream, lean enough for a thousand idle
// subscribers: OpenSSL writes its records into a string and reads them
// from one, and both are empty (and hold no memory) while the client is
// idle. Asio's own SSL stream keeps four 17 KB buffers per connection
// instead. The TCP stream underneath keeps Beast's timeouts.
//
// Used from one thread; a read and a write may be under way at once, as a
// WebSocket stream needs.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ssl_st;

class TlsStream {
public:
    using next_layer_type = boost::beast::tcp_stream;
    using executor_type = next_layer_type::executor_type;
    using Completion = boost::asio::any_completion_handler<void(boost::system::error_code, std::size_t)>;

    TlsStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);
    TlsStream(TlsStream&& other) noexcept;
    TlsStream& operator=(TlsStream&&) = delete;
    ~TlsStream();

    executor_type get_executor() { return next_.get_executor(); }
    next_layer_type& next_layer() { return next_; }
    const next_layer_type& next_layer() const { return next_; }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return initiate(std::forward<Token>(token), [this, buffers](Completion done) {
            const boost::asio::mutable_buffer buffer = *boost::asio::buffer_sequence_begin(buffers);
            run([this, buffer] { return read(buffer); }, std::move(done), buffer.size() == 0);
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
            run([this, flat] { return write(*flat); }, std::move(done), size == 0);
        });
    }

    template <class Token>
    auto async_handshake(Token&& token) {
        return initiate(std::forward<Token>(token),
                        [this](Completion done) { run([this] { return handshake(); }, std::move(done)); });
    }

    // Sends close_notify; does not wait for the client's.
    template <class Token>
    auto async_shutdown(Token&& token) {
        return initiate(std::forward<Token>(token),
                        [this](Completion done) { run([this] { return shutdown(); }, std::move(done)); });
    }

private:
    static constexpr std::size_t kMaxRecord = 16 * 1024;

    struct Operation {
        std::function<int()> attempt;  // an OpenSSL call: > 0 done, else see SSL_get_error
        Completion done;
    };

    template <class Token, class Start>
    auto initiate(Token&& token, Start start) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [start](auto handler) mutable { start(Completion(std::move(handler))); }, token);
    }

    // Runs the call until it is done or fails; `nothingToDo` completes at
    // once with no bytes.
    void run(std::function<int()> attempt, Completion done, bool nothingToDo = false);
    void step(const std::shared_ptr<Operation>& operation);
    void complete(const std::shared_ptr<Operation>& operation, boost::system::error_code ec, std::size_t bytes);
    int read(boost::asio::mutable_buffer buffer);
    int write(const std::string& bytes);
    int handshake();
    int shutdown();
    boost::system::error_code errorOf(int result);

    // Who waits for a read or a write of the TCP stream. The pending I/O
    // owns the list, not the stream: a session whose I/O is dropped when
    // the service stops must not keep itself alive through its stream.
    using Waiters = std::vector<std::function<void(boost::system::error_code)>>;

    // Ciphertext from the client: one read at a time, for whoever waits.
    void receiveThen(std::function<void(boost::system::error_code)> next);
    // Ciphertext to the client: sent in order; `next` once all is out.
    void sendThen(std::function<void(boost::system::error_code)> next);
    void sendPending(const std::shared_ptr<Waiters>& waiting);

    friend struct TlsStreamBio;
    int bioRead(char* into, int size);
    void bioWrite(const char* bytes, int size) { toSend_.append(bytes, static_cast<std::size_t>(size)); }

    next_layer_type next_;
    ssl_st* ssl_ = nullptr;
    std::string received_;   // not yet taken by OpenSSL
    std::string toSend_;     // written by OpenSSL, not yet on the way
    std::string inFlight_;   // on the way
    std::vector<char> chunk_;
    bool ended_ = false;     // the client closed its side
    std::weak_ptr<Waiters> receiveWaiters_;  // set while a read is under way
    std::weak_ptr<Waiters> sendWaiters_;     // set while a write is under way
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
