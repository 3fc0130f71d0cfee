#include "tls_stream.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace net = boost::asio;
using boost::system::error_code;

namespace {

// Ciphertext arrives in chunks of this size: what a client sends is small.
constexpr std::size_t kReceiveChunk = 1024;

}  // namespace

// OpenSSL's view of the stream's strings: reads that find nothing ask to be
// retried, writes always succeed.
struct TlsStreamBio {
    static TlsStream& stream(BIO* bio) { return *static_cast<TlsStream*>(BIO_get_data(bio)); }

    static int read(BIO* bio, char* into, int size) {
        BIO_clear_retry_flags(bio);
        const int got = stream(bio).bioRead(into, size);
        if (got < 0) BIO_set_retry_read(bio);
        return got;
    }
    static int write(BIO* bio, const char* bytes, int size) {
        BIO_clear_retry_flags(bio);
        stream(bio).bioWrite(bytes, size);
        return size;
    }
    static long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
    static int create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    static BIO_METHOD* method() {
        static BIO_METHOD* const method = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "TirnSerial TLS stream");
            BIO_meth_set_read(made, read);
            BIO_meth_set_write(made, write);
            BIO_meth_set_ctrl(made, control);
            BIO_meth_set_create(made, create);
            return made;
        }();
        return method;
    }
};

TlsStream::TlsStream(net::ip::tcp::socket socket, net::ssl::context& context)
    : next_(std::move(socket)), ssl_(SSL_new(context.native_handle())) {
    BIO* bio = BIO_new(TlsStreamBio::method());
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
}

TlsStream::TlsStream(TlsStream&& other) noexcept
    : next_(std::move(other.next_)),
      ssl_(std::exchange(other.ssl_, nullptr)),
      received_(std::move(other.received_)),
      toSend_(std::move(other.toSend_)),
      ended_(other.ended_) {
    if (ssl_ != nullptr) BIO_set_data(SSL_get_rbio(ssl_), this);
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

void TlsStream::run(std::function<int()> attempt, Completion done, bool nothingToDo) {
    auto operation = std::make_shared<Operation>(Operation{std::move(attempt), std::move(done)});
    // Never complete inside the initiating call.
    net::post(next_.get_executor(), [this, operation, nothingToDo] {
        if (nothingToDo) return complete(operation, error_code{}, 0);
        step(operation);
    });
}

// One OpenSSL call; whatever it wrote goes out before the operation
// completes or waits for more from the client.
void TlsStream::step(const std::shared_ptr<Operation>& operation) {
    ERR_clear_error();
    const int result = operation->attempt();
    if (result <= 0 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ) {
        sendThen([this, operation](error_code ec) {
            if (ec) return complete(operation, ec, 0);
            receiveThen([this, operation](error_code ec) {
                if (ec) return complete(operation, ec, 0);
                step(operation);
            });
        });
        return;
    }
    const error_code failure = result > 0 ? error_code{} : errorOf(result);
    const std::size_t bytes = result > 0 ? static_cast<std::size_t>(result) : 0;
    sendThen([this, operation, failure, bytes](error_code ec) { complete(operation, failure ? failure : ec, bytes); });
}

void TlsStream::complete(const std::shared_ptr<Operation>& operation, error_code ec, std::size_t bytes) {
    std::move(operation->done)(ec, bytes);
}

int TlsStream::read(net::mutable_buffer buffer) {
    return SSL_read(ssl_, buffer.data(), static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 30)));
}

int TlsStream::write(const std::string& bytes) {
    return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
}

int TlsStream::handshake() { return SSL_do_handshake(ssl_); }

int TlsStream::shutdown() {
    // 0: our close_notify is out, the client's not yet in; enough here.
    return SSL_shutdown(ssl_) >= 0 ? 1 : -1;
}

error_code TlsStream::errorOf(int result) {
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_ZERO_RETURN: return net::error::eof;
    case SSL_ERROR_SSL: {
        const unsigned long error = ERR_get_error();
        ERR_clear_error();
        if (error == 0 || ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return net::ssl::error::stream_truncated;
        return error_code(static_cast<int>(error), net::error::get_ssl_category());
    }
    default: return net::ssl::error::stream_truncated;  // the client went without close_notify
    }
}

int TlsStream::bioRead(char* into, int size) {
    if (received_.empty()) return ended_ ? 0 : -1;
    const std::size_t taken = std::min(received_.size(), static_cast<std::size_t>(size));
    std::memcpy(into, received_.data(), taken);
    received_.erase(0, taken);
    if (received_.empty()) received_ = std::string();  // an idle client holds no buffer
    return static_cast<int>(taken);
}

void TlsStream::receiveThen(std::function<void(error_code)> next) {
    if (auto waiting = receiveWaiters_.lock()) {
        waiting->push_back(std::move(next));
        return;
    }
    auto waiting = std::make_shared<Waiters>(Waiters{std::move(next)});
    receiveWaiters_ = waiting;
    chunk_.resize(kReceiveChunk);
    next_.async_read_some(net::buffer(chunk_), [this, waiting](error_code ec, std::size_t got) {
        receiveWaiters_.reset();
        received_.append(chunk_.data(), got);
        if (ec == net::error::eof) {
            ended_ = true;  // OpenSSL tells a close_notify from a cut
            ec = {};
        }
        for (auto& waiter : std::exchange(*waiting, {})) waiter(ec);
    });
}

void TlsStream::sendThen(std::function<void(error_code)> next) {
    if (auto waiting = sendWaiters_.lock()) {
        waiting->push_back(std::move(next));
        return;
    }
    if (toSend_.empty()) return next(error_code{});
    auto waiting = std::make_shared<Waiters>(Waiters{std::move(next)});
    sendWaiters_ = waiting;
    sendPending(waiting);
}

void TlsStream::sendPending(const std::shared_ptr<Waiters>& waiting) {
    if (toSend_.empty()) {
        sendWaiters_.reset();
        for (auto& waiter : std::exchange(*waiting, {})) waiter(error_code{});
        return;
    }
    inFlight_ = std::exchange(toSend_, std::string());
    net::async_write(next_, net::buffer(inFlight_), [this, waiting](error_code ec, std::size_t) {
        inFlight_ = std::string();
        if (!ec) return sendPending(waiting);
        sendWaiters_.reset();
        for (auto& waiter : std::exchange(*waiting, {})) waiter(ec);
    });
}

void teardown(boost::beast::role_type, TlsStream& stream, error_code& ec) {
    stream.next_layer().socket().shutdown(net::ip::tcp::socket::shutdown_both, ec);
    stream.next_layer().socket().close(ec);
}
