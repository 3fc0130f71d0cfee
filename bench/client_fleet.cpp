#include "client_fleet.h"

#include "ws_framing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

// A would-block answer: the socket takes or has nothing more just now.
bool wouldBlock(SSL* ssl, int result) {
    if (ssl == nullptr) return result < 0 && errno == EAGAIN;
    const int error = SSL_get_error(ssl, result);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

}  // namespace

ClientFleet::ClientFleet(OnMessage onMessage, bool tls)
    : onMessage_(std::move(onMessage)), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (!tls) return;
    tls_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(tls_, SSL_VERIFY_NONE, nullptr);
}

ClientFleet::~ClientFleet() {
    for (auto& client : clients_) drop(client);
    SSL_CTX_free(tls_);
    ::close(epoll_);
}

void ClientFleet::send(Client& client, std::string_view bytes) {
    while (!bytes.empty() && client.fd >= 0) {
        const int length = static_cast<int>(bytes.size());
        const ssize_t sent = client.ssl ? SSL_write(client.ssl, bytes.data(), length)
                                        : ::send(client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0)
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        else if (wouldBlock(client.ssl, static_cast<int>(sent)))
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        else
            return;
    }
}

bool ClientFleet::receive(Client& client, std::string& into) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = client.ssl ? SSL_read(client.ssl, chunk, sizeof chunk)
                                       : recv(client.fd, chunk, sizeof chunk, 0);
        if (got > 0)
            into.append(chunk, static_cast<std::size_t>(got));
        else
            return wouldBlock(client.ssl, static_cast<int>(got));
    }
}

void ClientFleet::drop(Client& client) {
    if (client.fd < 0) return;
    SSL_free(client.ssl);
    client.ssl = nullptr;
    ::close(client.fd);  // also leaves the epoll set
    client.fd = -1;
}

bool ClientFleet::openOne(const std::string& target) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9010);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        perror("client fleet: connect");
        if (fd >= 0) ::close(fd);
        return false;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Client client;
    client.fd = fd;
    if (tls_) {
        client.ssl = SSL_new(tls_);
        SSL_set_fd(client.ssl, fd);
        if (SSL_connect(client.ssl) != 1) {
            fprintf(stderr, "client fleet: TLS handshake failed\n");
            drop(client);
            return false;
        }
    }
    std::string handshake = clientHandshake();
    handshake.replace(handshake.find(' ') + 1, 1, target);
    send(client, handshake);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = clients_.size();
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    clients_.push_back(client);
    return true;
}

long ClientFleet::connect(int count, const std::string& target) {
    const std::size_t first = clients_.size();
    for (int done = 0; done < count;) {
        const int batch = std::min(200, count - done);
        const std::size_t from = clients_.size();
        for (int i = 0; i < batch; ++i)
            if (!openOne(target)) return -1;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        for (std::size_t i = from; i < clients_.size();) {
            if (clients_[i].upgraded) {
                ++i;
                continue;
            }
            if (clients_[i].fd < 0 || Clock::now() > deadline) return -1;
            poll(std::chrono::milliseconds(50));
        }
        done += batch;
    }
    return static_cast<long>(first);
}

long ClientFleet::open(const std::string& target, std::string greeting, bool reads) {
    if (!openOne(target)) return -1;
    clients_.back().greeting = std::move(greeting);
    clients_.back().reads = reads;
    return static_cast<long>(clients_.size() - 1);
}

void ClientFleet::sendText(std::size_t client, std::string_view payload) {
    send(clients_[client], clientFrame(0x1, payload));
}

void ClientFleet::close(std::size_t client) {
    Client& c = clients_[client];
    send(c, clientFrame(0x8, std::string("\x03\xe8", 2)));
    drop(c);
}

void ClientFleet::poll(std::chrono::milliseconds timeout) {
    epoll_event events[512];
    const int ready = epoll_wait(epoll_, events, 512, static_cast<int>(timeout.count()));
    const auto now = Clock::now();
    for (int i = 0; i < ready; ++i) readFrom(events[i].data.u64, now);
}

void ClientFleet::pollFor(std::chrono::milliseconds period) {
    const auto until = Clock::now() + period;
    for (auto now = Clock::now(); now < until; now = Clock::now())
        poll(std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1));
}

void ClientFleet::readFrom(std::size_t index, Clock::time_point now) {
    Client& c = clients_[index];
    if (c.fd < 0) return;
    if (!receive(c, c.in)) drop(c);  // the server closed it
    if (!c.upgraded) {
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) return;
        if (c.in.compare(0, 13, "HTTP/1.1 101 ") != 0) {
            ++refusedHandshakes_;
            return drop(c);
        }
        c.upgraded = true;
        c.in.erase(0, end + 4);
        if (!c.greeting.empty()) send(c, clientFrame(0x1, std::exchange(c.greeting, {})));
        if (!c.reads) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
            c.in.clear();
            return;
        }
    }
    parseFrames(index, now);
}

void ClientFleet::parseFrames(std::size_t index, Clock::time_point now) {
    Client& c = clients_[index];
    std::size_t at = 0;
    while (const auto frame = parseServerFrame(std::string_view(c.in).substr(at))) {
        if (frame->opcode == 0x9) {
            send(c, clientFrame(0xA, frame->payload));
        } else if (frame->opcode <= 0x2) {
            if (frame->opcode != 0) c.message.clear();
            c.message.append(frame->payload);
            if (frame->fin) onMessage_(index, c.message, now);
        }
        at += frame->length;
    }
    c.in.erase(0, at);
}
