// The bare relay: what relaying a scan to WebSocket subscribers costs on this
// machine with nothing else done, for bench/run to measure TirnSerial beside
// with the same subscribers. One thread, one epoll set, the scanner's tty held
// open; a scan ends after 5 ms of silence (as TirnSerial's --gap-ms 5); one
// frame built per scan and one send() of it to each subscriber in a loop; one
// console line a scan. No bounds, no TLS, no pings, no partial writes kept: a
// reference, not a service. usage: tirn-bare-relay [DEVICE]  (port 9010)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::string upgradeReply(const std::string& request) {
    const std::string name = "Sec-WebSocket-Key: ";
    const std::size_t from = request.find(name) + name.size(), to = request.find("\r\n", from);
    const std::string key = request.substr(from, to - from) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH], accept[32];
    SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    EVP_EncodeBlock(accept, digest, SHA_DIGEST_LENGTH);
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + std::string(reinterpret_cast<char*>(accept)) + "\r\n\r\n";
}

// The message TirnSerial sends, in one unmasked text frame.
std::string frameOf(const std::string& scan) {
    std::string data;
    for (const char c : scan) {
        if (c == '"' || c == '\\') data += {'\\', c};
        else if (c == '\r') data += "\\r";
        else if (c == '\n') data += "\\n";
        else data += c;
    }
    const std::string message = "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"size\":\t" + std::to_string(scan.size()) +
                                ",\n\t\"Data\":\t\"" + data + "\"\n}";
    std::string frame = "\x81";
    if (message.size() < 126) {
        frame += static_cast<char>(message.size());
    } else {
        frame += static_cast<char>(126);
        frame += static_cast<char>(message.size() >> 8);
        frame += static_cast<char>(message.size() & 0xff);
    }
    return frame + message;
}

void watch(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

int main(int argc, char** argv) {
    const int tty = open(argc > 1 ? argv[1] : "/dev/ttyUSB0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios raw{};
    tcgetattr(tty, &raw);
    cfmakeraw(&raw);
    tcsetattr(tty, TCSANOW, &raw);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9010);
    if (tty < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        perror("tirn-bare-relay");
        return 1;
    }
    const int epoll = epoll_create1(0);
    watch(epoll, tty);
    watch(epoll, listener);
    std::unordered_map<int, std::string> upgrading;
    std::vector<int> subscribers;
    std::string scan;
    char buffer[65536];
    for (epoll_event events[256];;) {
        const int ready = epoll_wait(epoll, events, 256, scan.empty() ? -1 : 5);
        if (ready == 0) {  // 5 ms of silence: the scan is complete
            const std::string frame = frameOf(scan);
            for (const int fd : subscribers) send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            printf("scan of %zu bytes to %zu subscribers\n", scan.size(), subscribers.size());
            fflush(stdout);
            scan.clear();
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (int client; (client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    watch(epoll, client);
                    upgrading[client];
                }
                continue;
            }
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (fd == tty) {
                if (got > 0) scan.append(buffer, static_cast<std::size_t>(got));
            } else if (got <= 0) {  // closed (subscribers' closes are rare here: no bookkeeping to speak of)
                close(fd);
                upgrading.erase(fd);
                subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), fd), subscribers.end());
            } else if (const auto it = upgrading.find(fd); it != upgrading.end()) {
                it->second.append(buffer, static_cast<std::size_t>(got));
                if (it->second.find("\r\n\r\n") == std::string::npos) continue;
                const std::string reply = upgradeReply(it->second);
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                upgrading.erase(it);
                subscribers.push_back(fd);
            }  // anything a subscriber sends afterwards (its subscription) is read and dropped
        }
    }
}
