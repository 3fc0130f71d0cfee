#include "ws_client.h"

#include "ws_framing.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int connectOnce(unsigned short port, const char* host) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int connectWithRetry(unsigned short port, const char* host, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int fd = connectOnce(port, host);
        if (fd >= 0 || Clock::now() >= deadline) return fd;
        std::this_thread::sleep_for(10ms);
    }
}

// Tests make their own certificates: the client trusts whatever it is shown
// and reports it, so that a test can check which one it was.
SSL_CTX* trustingTlsContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        return made;
    }();
    return context;
}

// A signal cut the call short: the fuzzer's timers, say. Calls on a socket
// with a receive timeout are never restarted, whatever the handler's flags.
bool interrupted(SSL* ssl, int result) {
    if (errno != EINTR) return false;
    if (ssl == nullptr) return result < 0;
    const int error = SSL_get_error(ssl, result);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_SYSCALL;
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::unique_ptr<WsClient> WsClient::connectRaw(unsigned short port, std::chrono::milliseconds timeout,
                                               const char* address) {
    const int fd = connectWithRetry(port, address, timeout);
    if (fd < 0) return nullptr;
    return std::unique_ptr<WsClient>(new WsClient(fd));
}

std::unique_ptr<WsClient> WsClient::connect(unsigned short port, std::chrono::milliseconds timeout) {
    return connect(WsEndpoint{port, "127.0.0.1", ""}, timeout);
}

std::unique_ptr<WsClient> WsClient::connect(const WsEndpoint& endpoint, std::chrono::milliseconds timeout) {
    auto client = connectRaw(endpoint.port, timeout, endpoint.address);
    if (client && endpoint.tls && !client->startTls(timeout)) client.reset();
    if (client && !client->handshake(endpoint.extraHeaders, endpoint.target, timeout)) client.reset();
    return client;
}

bool WsClient::startTls(std::chrono::milliseconds timeout) {
    timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl_ = SSL_new(trustingTlsContext());
    SSL_set_fd(ssl_, fd_);
    const auto deadline = Clock::now() + timeout;
    int result;
    while ((errno = 0, result = SSL_connect(ssl_)) != 1 && interrupted(ssl_, result) && Clock::now() < deadline) {
    }
    const bool connected = result == 1;
    limit = {};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return connected;
}

std::string WsClient::peerSubject() const {
    X509* certificate = ssl_ ? SSL_get1_peer_certificate(ssl_) : nullptr;
    if (!certificate) return "";
    char subject[256] = {};
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    X509_free(certificate);
    return subject;
}

std::string WsClient::exchange(std::string_view request, const WsEndpoint& endpoint, std::chrono::milliseconds timeout) {
    auto client = connectRaw(endpoint.port, timeout, endpoint.address);
    if (!client || (endpoint.tls && !client->startTls(timeout)) || !client->sendRaw(request)) return "";
    const auto deadline = Clock::now() + timeout;
    while (client->fill(deadline)) {
    }
    return client->buffer_;
}

WsClient::~WsClient() {
    SSL_free(ssl_);
    ::close(fd_);
}

bool WsClient::handshake(std::string_view extraHeaders, std::string_view target, std::chrono::milliseconds timeout) {
    if (!sendRaw(clientHandshake(extraHeaders, target))) return false;
    const auto deadline = Clock::now() + timeout;
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!fill(deadline)) return false;
    const bool upgraded = buffer_.compare(0, 12, "HTTP/1.1 101") == 0;
    buffer_.erase(0, end + 4);
    return upgraded;
}

bool WsClient::sendFrame(Opcode opcode, std::string_view payload, bool masked) {
    return sendRaw(clientFrame(opcode, payload, masked));
}

bool WsClient::sendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        errno = 0;
        const ssize_t sent = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                                  : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0 && interrupted(ssl_, static_cast<int>(sent))) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool WsClient::fill(Clock::time_point deadline) {
    if (closed_) return false;
    pollfd ready{fd_, POLLIN, 0};
    const bool decrypted = ssl_ && SSL_pending(ssl_) > 0;
    if (!decrypted) {
        int readyCount;
        while ((readyCount = poll(&ready, 1, millisecondsUntil(deadline))) < 0 && errno == EINTR) {
        }
        if (readyCount <= 0) return false;
    }
    char chunk[64 * 1024];
    errno = 0;
    const ssize_t got = ssl_ ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0 && interrupted(ssl_, static_cast<int>(got))) return true;  // nothing yet, not the end
    if (got <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
}

std::optional<WsClient::Frame> WsClient::nextFrame(Clock::time_point deadline) {
    for (;;) {
        if (const auto frame = parseServerFrame(buffer_)) {
            Frame whole{frame->fin, frame->opcode, std::string(frame->payload)};
            buffer_.erase(0, frame->length);
            return whole;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::optional<WsMessage> WsClient::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::optional<WsMessage> message;
    while (auto frame = nextFrame(deadline)) {
        switch (frame->opcode) {
        case kPing:
            sendFrame(kPong, frame->payload);
            continue;
        case kPong:
            continue;
        case kClose:
            if (frame->payload.size() >= 2)
                closeCode_ = (static_cast<unsigned char>(frame->payload[0]) << 8) |
                             static_cast<unsigned char>(frame->payload[1]);
            closed_ = true;
            return std::nullopt;
        case 0x0:  // continuation
            if (message) message->payload += frame->payload;
            break;
        default:
            message = WsMessage{frame->payload, frame->opcode == kText};
            break;
        }
        if (frame->fin && message) return message;
    }
    return std::nullopt;
}

bool WsClient::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_ && Clock::now() < deadline) receive(std::chrono::milliseconds(millisecondsUntil(deadline)));
    return closed_;
}

void WsClient::close() {
    if (!closed_) sendFrame(kClose, std::string("\x03\xe8", 2));
    shutdown(fd_, SHUT_RDWR);
    closed_ = true;
}
