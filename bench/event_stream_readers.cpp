#include "event_stream_readers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int openStream(const std::string& target) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9010);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:9010\r\n\r\n";
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

EventStreamReaders::EventStreamReaders(int count, const std::string& target) {
    for (int i = 0; i < count; ++i) fds_.push_back(openStream(target));
    reader_ = std::thread([this] { readAll(); });
}

EventStreamReaders::~EventStreamReaders() {
    stop_ = true;
    reader_.join();
    for (const int fd : fds_)
        if (fd >= 0) close(fd);
}

void EventStreamReaders::readAll() {
    std::vector<pollfd> polled;
    for (const int fd : fds_) polled.push_back(pollfd{fd, POLLIN, 0});
    char discard[65536];
    while (!stop_) {
        if (poll(polled.data(), polled.size(), 50) <= 0) continue;
        for (pollfd& stream : polled) {
            if (stream.fd < 0 || (stream.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            if (recv(stream.fd, discard, sizeof discard, MSG_DONTWAIT) == 0) stream.fd = -1;  // closed: polled no more
        }
    }
}
