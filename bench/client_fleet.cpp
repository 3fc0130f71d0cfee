#include "client_fleet.h"

#include "ws_framing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

namespace {

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0)
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        else if (sent < 0 && errno == EAGAIN)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        else
            return;
    }
}

}  // namespace

ClientFleet::ClientFleet(OnMessage onMessage)
    : onMessage_(std::move(onMessage)), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

ClientFleet::~ClientFleet() {
    for (auto& client : clients_)
        if (client.fd >= 0) ::close(client.fd);
    ::close(epoll_);
}

bool ClientFleet::openOne() {
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
    sendAll(fd, clientHandshake());
    fcntl(fd, F_SETFL, O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = clients_.size();
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    clients_.push_back(Client{});
    clients_.back().fd = fd;
    return true;
}

long ClientFleet::connect(int count) {
    const std::size_t first = clients_.size();
    for (int done = 0; done < count;) {
        const int batch = std::min(200, count - done);
        const std::size_t from = clients_.size();
        for (int i = 0; i < batch; ++i)
            if (!openOne()) return -1;
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

void ClientFleet::sendText(std::size_t client, std::string_view payload) {
    if (clients_[client].fd >= 0) sendAll(clients_[client].fd, clientFrame(0x1, payload));
}

void ClientFleet::close(std::size_t client) {
    Client& c = clients_[client];
    if (c.fd < 0) return;
    sendAll(c.fd, clientFrame(0x8, std::string("\x03\xe8", 2)));
    ::close(c.fd);  // also leaves the epoll set
    c.fd = -1;
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
    char chunk[65536];
    for (;;) {
        const ssize_t got = recv(c.fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            c.in.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0 || errno != EAGAIN) {  // the server closed it
            ::close(c.fd);
            c.fd = -1;
        }
        break;
    }
    if (!c.upgraded) {
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) return;
        c.upgraded = true;
        c.in.erase(0, end + 4);
    }
    parseFrames(index, now);
}

void ClientFleet::parseFrames(std::size_t index, Clock::time_point now) {
    Client& c = clients_[index];
    std::size_t at = 0;
    while (const auto frame = parseServerFrame(std::string_view(c.in).substr(at))) {
        if (frame->opcode == 0x9 && c.fd >= 0) {
            sendAll(c.fd, clientFrame(0xA, frame->payload));
        } else if (frame->opcode <= 0x2) {
            if (frame->opcode != 0) c.message.clear();
            c.message.append(frame->payload);
            if (frame->fin) onMessage_(index, c.message, now);
        }
        at += frame->length;
    }
    c.in.erase(0, at);
}
