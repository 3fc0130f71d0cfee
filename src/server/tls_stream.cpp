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
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace net = boost::asio;
using boost::system::error_code;

namespace {

// Ciphertext arrives in chunks of this size: what a client sends is small.
constexpr std::size_t kReceiveChunk = 1024;

}  // namespace

// The connection's state. Pending I/O holds it, so that neither a move nor
// the destruction of the stream leaves a handler with a dangling pointer.
struct TlsStream::Core : std::enable_shared_from_this<TlsStream::Core> {
    Core(net::ip::tcp::socket socket, net::ssl::context& context);
    ~Core() { SSL_free(ssl); }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    struct Operation {
        std::function<int(SSL*)> attempt;  // an OpenSSL call: > 0 done, else see SSL_get_error
        Completion done;
        bool waitsForSend;  // completes only once its records are out
    };
    // Who waits for a read or a write of the TCP stream. The pending I/O
    // owns the list, not the core: a session whose I/O is dropped when the
    // service stops must not keep itself alive through its stream.
    using Waiter = std::function<void(error_code)>;
    using Waiters = std::vector<Waiter>;

    void run(std::function<int(SSL*)> attempt, Completion done, bool waitsForSend, bool nothingToDo = false);
    void step(const std::shared_ptr<Operation>& operation);
    error_code errorOf(int result);

    // Ciphertext from the client: one read at a time, for whoever waits.
    void receiveThen(Waiter next);
    // Ciphertext to the client: sent in order; `next` (if any) once all is
    // out.
    void sendThen(Waiter next);
    void sendPending(const std::shared_ptr<Waiters>& waiting);

    int bioRead(char* into, int size);
    void bioWrite(const char* bytes, int size) { toSend.append(bytes, static_cast<std::size_t>(size)); }

    boost::beast::tcp_stream next;
    SSL* ssl = nullptr;      // null when OpenSSL could not make it
    std::string received;    // not yet taken by OpenSSL
    std::string toSend;      // written by OpenSSL, not yet on the way
    std::string inFlight;    // on the way
    std::vector<char> chunk;
    bool ended = false;      // the client closed its side
    std::weak_ptr<Waiters> receiveWaiters;  // set while a read is under way
    std::weak_ptr<Waiters> sendWaiters;     // set while a write is under way
};

// OpenSSL's view of the core's strings: reads that find nothing ask to be
// retried, writes always succeed.
struct TlsStreamBio {
    static TlsStream::Core& core(BIO* bio) { return *static_cast<TlsStream::Core*>(BIO_get_data(bio)); }

    static int read(BIO* bio, char* into, int size) {
        BIO_clear_retry_flags(bio);
        const int got = core(bio).bioRead(into, size);
        if (got < 0) BIO_set_retry_read(bio);
        return got;
    }
    static int write(BIO* bio, const char* bytes, int size) {
        BIO_clear_retry_flags(bio);
        core(bio).bioWrite(bytes, size);
        return size;
    }
    static long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
    static int create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    static BIO_METHOD* made() {
        const int index = BIO_get_new_index();
        if (index == -1) return nullptr;
        BIO_METHOD* method = BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "TirnSerial TLS stream");
        if (method == nullptr) return nullptr;
        if (BIO_meth_set_read(method, read) != 1 || BIO_meth_set_write(method, write) != 1 ||
            BIO_meth_set_ctrl(method, control) != 1 || BIO_meth_set_create(method, create) != 1) {
            BIO_meth_free(method);
            return nullptr;
        }
        return method;
    }

    // Made once and kept for the process; tried again after a failure.
    static BIO_METHOD* method() {
        static std::mutex guard;
        static BIO_METHOD* method = nullptr;
        std::lock_guard<std::mutex> lock(guard);
        if (method == nullptr) method = made();
        return method;
    }
};

TlsStream::Core::Core(net::ip::tcp::socket socket, net::ssl::context& context) : next(std::move(socket)) {
    BIO_METHOD* method = TlsStreamBio::method();
    SSL* made = method != nullptr ? SSL_new(context.native_handle()) : nullptr;
    BIO* bio = made != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        SSL_free(made);
        ERR_clear_error();
        return;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(made, bio, bio);  // one reference, for both directions
    SSL_set_accept_state(made);
    ssl = made;
}

TlsStream::TlsStream(net::ip::tcp::socket socket, net::ssl::context& context)
    : core_(std::make_shared<Core>(std::move(socket), context)) {}

TlsStream::~TlsStream() {
    if (!core_) return;  // moved from
    // I/O still under way holds the core: it ends now, as it would with the
    // socket of a plain stream.
    core_->next.close();
}

bool TlsStream::ok() const { return core_ && core_->ssl != nullptr; }
void TlsStream::putBack(std::string_view bytes) { core_->received.insert(0, bytes.data(), bytes.size()); }
TlsStream::executor_type TlsStream::get_executor() { return core_->next.get_executor(); }
TlsStream::next_layer_type& TlsStream::next_layer() { return core_->next; }
const TlsStream::next_layer_type& TlsStream::next_layer() const { return core_->next; }

void TlsStream::startRead(net::mutable_buffer buffer, Completion done) {
    const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 30));
    core_->run([buffer, size](SSL* ssl) { return SSL_read(ssl, buffer.data(), size); }, std::move(done), false,
               buffer.size() == 0);
}

void TlsStream::startWrite(std::shared_ptr<const std::string> bytes, Completion done) {
    const bool empty = bytes->empty();
    core_->run([bytes](SSL* ssl) { return SSL_write(ssl, bytes->data(), static_cast<int>(bytes->size())); },
               std::move(done), true, empty);
}

void TlsStream::startHandshake(Completion done) {
    core_->run([](SSL* ssl) { return SSL_do_handshake(ssl); }, std::move(done), true);
}

void TlsStream::startShutdown(Completion done) {
    // 0: our close_notify is out, the client's not yet in; enough here.
    core_->run([](SSL* ssl) { return SSL_shutdown(ssl) >= 0 ? 1 : -1; }, std::move(done), true);
}

void TlsStream::Core::run(std::function<int(SSL*)> attempt, Completion done, bool waitsForSend, bool nothingToDo) {
    auto operation = std::make_shared<Operation>(Operation{std::move(attempt), std::move(done), waitsForSend});
    // Never complete inside the initiating call.
    net::post(next.get_executor(), [self = shared_from_this(), operation, nothingToDo] {
        if (self->ssl == nullptr) return std::move(operation->done)(net::error::no_memory, 0);
        if (nothingToDo) return std::move(operation->done)(error_code{}, 0);
        self->step(operation);
    });
}

// One OpenSSL call. Whatever it wrote goes out; a read completes without
// waiting for that, the others once it is out.
void TlsStream::Core::step(const std::shared_ptr<Operation>& operation) {
    ERR_clear_error();
    const int result = operation->attempt(ssl);
    if (result <= 0 && SSL_get_error(ssl, result) == SSL_ERROR_WANT_READ) {
        sendThen(nullptr);
        receiveThen([self = shared_from_this(), operation](error_code ec) {
            if (ec) return std::move(operation->done)(ec, 0);
            self->step(operation);
        });
        return;
    }
    const error_code failure = result > 0 ? error_code{} : errorOf(result);
    const std::size_t bytes = result > 0 ? static_cast<std::size_t>(result) : 0;
    if (!operation->waitsForSend) {
        sendThen(nullptr);
        return std::move(operation->done)(failure, bytes);
    }
    sendThen([operation, failure, bytes](error_code ec) { std::move(operation->done)(failure ? failure : ec, bytes); });
}

error_code TlsStream::Core::errorOf(int result) {
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_ZERO_RETURN: return net::error::eof;
    case SSL_ERROR_SSL: {
        const unsigned long error = ERR_get_error();
        ERR_clear_error();
        if (error == 0 || ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return net::ssl::error::stream_truncated;
        return error_code(static_cast<int>(error), net::error::get_ssl_category());
    }
    default:
        ERR_clear_error();
        return net::ssl::error::stream_truncated;  // the client went without close_notify
    }
}

int TlsStream::Core::bioRead(char* into, int size) {
    if (received.empty()) return ended ? 0 : -1;
    const std::size_t taken = std::min(received.size(), static_cast<std::size_t>(size));
    std::memcpy(into, received.data(), taken);
    received.erase(0, taken);
    if (received.empty()) received = std::string();  // an idle client holds no buffer
    return static_cast<int>(taken);
}

void TlsStream::Core::receiveThen(Waiter next) {
    if (auto waiting = receiveWaiters.lock()) {
        waiting->push_back(std::move(next));
        return;
    }
    auto waiting = std::make_shared<Waiters>(Waiters{std::move(next)});
    receiveWaiters = waiting;
    chunk.resize(kReceiveChunk);
    this->next.async_read_some(net::buffer(chunk), [self = shared_from_this(), waiting](error_code ec, std::size_t got) {
        self->receiveWaiters.reset();
        self->received.append(self->chunk.data(), got);
        if (ec == net::error::eof) {
            self->ended = true;  // OpenSSL tells a close_notify from a cut
            ec = {};
        }
        for (auto& waiter : std::exchange(*waiting, {})) waiter(ec);
    });
}

void TlsStream::Core::sendThen(Waiter next) {
    if (auto waiting = sendWaiters.lock()) {
        if (next) waiting->push_back(std::move(next));
        return;
    }
    if (toSend.empty()) {
        if (next) next(error_code{});
        return;
    }
    auto waiting = std::make_shared<Waiters>();
    if (next) waiting->push_back(std::move(next));
    sendWaiters = waiting;
    sendPending(waiting);
}

void TlsStream::Core::sendPending(const std::shared_ptr<Waiters>& waiting) {
    if (toSend.empty()) {
        sendWaiters.reset();
        for (auto& waiter : std::exchange(*waiting, {})) waiter(error_code{});
        return;
    }
    inFlight = std::exchange(toSend, std::string());
    net::async_write(next, net::buffer(inFlight), [self = shared_from_this(), waiting](error_code ec, std::size_t) {
        self->inFlight = std::string();
        if (!ec) return self->sendPending(waiting);
        self->sendWaiters.reset();
        for (auto& waiter : std::exchange(*waiting, {})) waiter(ec);
    });
}

void teardown(boost::beast::role_type, TlsStream& stream, error_code& ec) {
    stream.next_layer().socket().shutdown(net::ip::tcp::socket::shutdown_both, ec);
    stream.next_layer().socket().close(ec);
}
