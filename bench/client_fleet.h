// Many WebSocket clients of port 9010 in one thread, for the benchmark and
// the soak test: connections are opened, subscribed and closed at will, and
// every complete message is handed to a callback with its arrival time.
// Over TLS, each connection's handshake is done before its upgrade, and any
// certificate is trusted.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ClientFleet {
public:
    using Clock = std::chrono::steady_clock;
    using OnMessage = std::function<void(std::size_t client, std::string_view payload, Clock::time_point at)>;

    explicit ClientFleet(OnMessage onMessage, bool tls = false);
    ~ClientFleet();

    // Opens `count` more connections and waits for their opening handshakes,
    // in batches the listen backlog can take, each asking for `target`.
    // Returns the index of the first new client, or -1 when the server did
    // not let them all in.
    long connect(int count, const std::string& target = "/");
    // Opens one connection without waiting for its opening handshake, and
    // sends `greeting` once the server has let it in; one that `reads` not
    // reads nothing from then on, as a stalled tab. Returns its index, or -1
    // when the connection could not be made.
    long open(const std::string& target, std::string greeting, bool reads = true);
    // Opening handshakes the server answered with anything but 101.
    long refusedHandshakes() const { return refusedHandshakes_; }
    void sendText(std::size_t client, std::string_view payload);
    // Sends a close frame and closes the socket at once, as a closed tab does.
    void close(std::size_t client);
    bool isOpen(std::size_t client) const { return clients_[client].fd >= 0; }
    std::size_t size() const { return clients_.size(); }

    // Handles what has arrived, waiting up to `timeout` for something.
    void poll(std::chrono::milliseconds timeout);
    void pollFor(std::chrono::milliseconds period);

private:
    struct Client {
        int fd = -1;
        struct ssl_st* ssl = nullptr;
        bool upgraded = false;
        std::string greeting;  // sent once upgraded
        bool reads = true;
        std::string in;
        std::string message;  // a fragmented message so far
    };
    bool openOne(const std::string& target);
    void send(Client& client, std::string_view bytes);
    // What has arrived on the connection, without waiting: false once it
    // has closed.
    bool receive(Client& client, std::string& into);
    void drop(Client& client);
    void readFrom(std::size_t index, Clock::time_point now);
    void parseFrames(std::size_t index, Clock::time_point now);

    OnMessage onMessage_;
    struct ssl_ctx_st* tls_ = nullptr;
    int epoll_;
    std::vector<Client> clients_;
    long refusedHandshakes_ = 0;
};
