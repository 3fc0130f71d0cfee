// The lean TLS stream alone, over a loopback socket pair: an OpenSSL client
// on the other end, driven by hand so that its records can be cut into
// single bytes and its side closed at any point.
#include "tls_stream.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace net = boost::asio;
using boost::system::error_code;
using namespace std::chrono_literals;

// A self-signed P-256 certificate for the server, made in memory.
std::shared_ptr<net::ssl::context> serverContext() {
    auto context = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("stream.test"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_sign(certificate, key, EVP_sha256());
    EXPECT_EQ(SSL_CTX_use_certificate(context->native_handle(), certificate), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(context->native_handle(), key), 1);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

// The client: blocking socket, records through memory so that each byte can
// go out on its own.
class Client {
public:
    explicit Client(int fd, bool byteByByte) : fd_(fd), byteByByte_(byteByByte) {
        context_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(context_, TLS1_3_VERSION);
        ssl_ = SSL_new(context_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_connect_state(ssl_);
        timeval limit{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
        if (fd_ >= 0) close(fd_);
    }

    bool handshake() { return drive([this] { return SSL_do_handshake(ssl_); }) == 1; }
    bool write(const std::string& text) { return drive([&] { return SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }) > 0; }
    std::string read() {
        char buffer[256];
        const int got = drive([&] { return SSL_read(ssl_, buffer, sizeof buffer); });
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    }
    bool requestKeyUpdate() { return SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED) == 1; }

private:
    template <class Call>
    int drive(Call call) {
        for (;;) {
            const int result = call();
            flush();
            if (result > 0 || SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) return result;
            char buffer[4096];
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) return -1;
            BIO_write(in_, buffer, static_cast<int>(got));
        }
    }
    void flush() {
        char buffer[4096];
        for (int got; (got = BIO_read(out_, buffer, sizeof buffer)) > 0;)
            for (int at = 0; at < got;) {
                const int size = byteByByte_ ? 1 : got - at;
                const ssize_t sent = send(fd_, buffer + at, static_cast<std::size_t>(size), MSG_NOSIGNAL);
                if (sent <= 0) return;
                at += static_cast<int>(sent);
            }
    }

    int fd_;
    bool byteByByte_;
    SSL_CTX* context_;
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
};

struct Outcome {
    error_code ec;
    std::size_t bytes;
};

// The server's stream on an io_context of its own thread, and a client
// connected to it over loopback TCP.
class TlsStreamTest : public testing::Test {
protected:
    void connect(bool byteByByte = false) {
        net::ip::tcp::acceptor acceptor(io_, {net::ip::address_v4::loopback(), 0});
        net::ip::tcp::socket client(io_);
        client.connect(acceptor.local_endpoint());
        auto accepted = acceptor.accept();
        stream_.emplace(std::move(accepted), *context_);
        client_ = std::make_unique<Client>(client.release(), byteByByte);
        thread_ = std::thread([this] { io_.run(); });
    }
    void TearDown() override {
        onServer([this] { stream_.reset(); });
        work_.reset();
        if (thread_.joinable()) thread_.join();
    }

    // Runs `what` on the server's thread and waits for it.
    template <class What>
    void onServer(What what) {
        std::promise<void> done;
        net::post(io_, [&] {
            what();
            done.set_value();
        });
        done.get_future().wait();
    }
    // Starts an operation on the server's thread; its outcome comes later.
    template <class Start>
    std::future<Outcome> start(Start operation) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto outcome = promise->get_future();
        onServer([&] { operation([promise](error_code ec, std::size_t bytes) { promise->set_value({ec, bytes}); }); });
        return outcome;
    }
    std::future<Outcome> startRead() {
        return start([this](auto done) { stream_->async_read_some(net::buffer(received_), done); });
    }
    std::future<Outcome> startWrite(const std::string& text) {
        return start([this, text](auto done) { stream_->async_write_some(net::buffer(text), done); });
    }
    std::string receivedText(const Outcome& outcome) const { return std::string(received_, outcome.bytes); }
    // Connects and completes the handshake on both ends.
    void connectSecurely(bool byteByByte = false) {
        connect(byteByByte);
        auto handshake = start([this](auto done) { stream_->async_handshake(done); });
        ASSERT_TRUE(client_->handshake());
        ASSERT_EQ(handshake.wait_for(10s), std::future_status::ready);
        ASSERT_FALSE(handshake.get().ec);
    }
    // Writes until one stays under way (the socket's buffers are full, as
    // the client reads nothing), and returns that one.
    std::future<Outcome> stalledWrite() {
        const std::string block(16 * 1024, 'x');
        std::future<Outcome> write;
        for (int i = 0; i < 10000; ++i) {
            write = startWrite(block);
            if (write.wait_for(100ms) != std::future_status::ready) break;
        }
        return write;
    }

    net::io_context io_;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_{io_.get_executor()};
    std::shared_ptr<net::ssl::context> context_ = serverContext();
    std::optional<TlsStream> stream_;
    std::unique_ptr<Client> client_;
    std::thread thread_;
    char received_[256] = {};
};

template <class T>
bool ready(std::future<T>& future, std::chrono::milliseconds within = 10s) {
    return future.wait_for(within) == std::future_status::ready;
}

// Handshake and data both ways over records cut into single bytes, a read
// and a write in flight at once, and a key update requested by the client,
// which the server answers with its own.
TEST_F(TlsStreamTest, CarriesDataBothWaysAcrossKeyUpdates) {
    connectSecurely(true);
    EXPECT_TRUE(stream_->ok());

    auto read = startRead();
    auto write = startWrite("from the server");
    EXPECT_EQ(client_->read(), "from the server");
    ASSERT_TRUE(ready(write));
    EXPECT_EQ(write.get().bytes, 15u);
    ASSERT_TRUE(client_->write("from the client"));
    ASSERT_TRUE(ready(read));
    EXPECT_EQ(receivedText(read.get()), "from the client");

    for (int round = 0; round < 3; ++round) {
        const std::string suffix = std::to_string(round);
        ASSERT_TRUE(client_->requestKeyUpdate());
        auto afterUpdate = startRead();
        ASSERT_TRUE(client_->write("after update " + suffix));
        ASSERT_TRUE(ready(afterUpdate));
        EXPECT_EQ(receivedText(afterUpdate.get()), "after update " + suffix);
        auto reply = startWrite("reply " + suffix);
        EXPECT_EQ(client_->read(), "reply " + suffix);
        ASSERT_TRUE(ready(reply));
    }
}

// A stream moved while a read is under way goes on reading for its new
// owner; one destroyed with a read and a write under way ends them.
TEST_F(TlsStreamTest, MovedOrDestroyedWithIoPending) {
    connectSecurely();
    auto read = startRead();
    onServer([this] {
        TlsStream moved(std::move(*stream_));
        stream_.reset();
        stream_.emplace(std::move(moved));
    });
    ASSERT_TRUE(client_->write("to the new owner"));
    ASSERT_TRUE(ready(read));
    EXPECT_EQ(receivedText(read.get()), "to the new owner");

    auto pendingRead = startRead();
    auto pendingWrite = stalledWrite();
    onServer([this] { stream_.reset(); });
    ASSERT_TRUE(ready(pendingRead));
    EXPECT_EQ(pendingRead.get().ec, net::error::operation_aborted);
    ASSERT_TRUE(ready(pendingWrite));
}

}  // namespace
