#include "kernel_floor.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kRounds = 200;

int loopbackListener(sockaddr_in& address) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

// The sending ends, with the receiving ends in `receivers`.
std::vector<int> connectPairs(int count, std::vector<int>& receivers) {
    std::vector<int> senders;
    sockaddr_in address;
    const int listener = loopbackListener(address);
    if (listener < 0) return senders;
    for (int i = 0; i < count; ++i) {
        const int receiver = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
        const int sender = accept(listener, nullptr, nullptr);
        const int on = 1;
        setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        receivers.push_back(receiver);
        senders.push_back(sender);
    }
    close(listener);
    return senders;
}

}  // namespace

std::vector<double> kernelFanOutFloor(int sockets, const std::string& frame) {
    std::vector<int> receivers;
    const std::vector<int> senders = connectPairs(sockets, receivers);
    std::vector<double> rounds;
    std::string sink(frame.size(), '\0');
    for (int round = 0; round < kRounds && !senders.empty(); ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (const int sender : senders) send(sender, frame.data(), frame.size(), 0);
        rounds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        for (const int receiver : receivers) recv(receiver, sink.data(), sink.size(), MSG_WAITALL);
    }
    for (const int fd : senders) close(fd);
    for (const int fd : receivers) close(fd);
    return rounds;
}
