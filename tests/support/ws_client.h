// A small blocking WebSocket client for tests: every wait has a deadline,
// and frames can be sent exactly as a misbehaving client would send them.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

using namespace std::chrono_literals;

struct WsMessage {
    std::string payload;
    bool text;
};

// Where and how a client connects: the opening request may carry extra
// header lines (an Origin, say), each ending in CRLF; over TLS, trusting
// any certificate.
struct WsEndpoint {
    unsigned short port;
    const char* address;
    std::string_view extraHeaders;
    bool tls = false;
    std::string_view target = "/";  // the handshake's request target
};
constexpr WsEndpoint kServiceEndpoint{9010, "127.0.0.1", ""};

class WsClient {
public:
    enum Opcode : unsigned char { kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xA };

    // Connects and completes the opening handshake, retrying while nothing
    // listens yet. Null when that fails in time.
    static std::unique_ptr<WsClient> connect(unsigned short port = 9010,
                                             std::chrono::milliseconds timeout = 5s);
    static std::unique_ptr<WsClient> connect(const WsEndpoint& endpoint, std::chrono::milliseconds timeout = 5s);
    // A TCP connection only, for clients that never finish the handshake.
    static std::unique_ptr<WsClient> connectRaw(unsigned short port = 9010,
                                                std::chrono::milliseconds timeout = 5s,
                                                const char* address = "127.0.0.1");
    // Sends the bytes on a new connection and returns all that the server
    // sends back until it closes.
    static std::string exchange(std::string_view request, const WsEndpoint& endpoint = kServiceEndpoint,
                                std::chrono::milliseconds timeout = 5s);
    ~WsClient();

    bool sendText(std::string_view payload) { return sendFrame(kText, payload); }
    bool sendBinary(std::string_view payload) { return sendFrame(kBinary, payload); }
    bool sendFrame(Opcode opcode, std::string_view payload, bool masked = true);
    bool sendRaw(std::string_view bytes);

    // The next data message; pings are answered on the way. Nothing when
    // the deadline passes or the server closes.
    std::optional<WsMessage> receive(std::chrono::milliseconds timeout = 5s);
    // True once the server has closed the connection (close frame or end of
    // stream) within the timeout; data messages on the way are discarded.
    bool waitClosed(std::chrono::milliseconds timeout = 5s);
    // The code of the server's close frame, 0 if it sent none.
    int closeCode() const { return closeCode_; }

    // Sends a close frame and shuts the socket.
    void close();
    int descriptor() const { return fd_; }
    // Over TLS: the subject of the certificate the server presented.
    std::string peerSubject() const;
    // Opens TLS on a raw connection, trusting any certificate; what is sent
    // and received from then on is encrypted.
    bool startTls(std::chrono::milliseconds timeout = 5s);

private:
    explicit WsClient(int fd) : fd_(fd) {}
    bool handshake(std::string_view extraHeaders, std::string_view target, std::chrono::milliseconds timeout);
    bool fill(std::chrono::steady_clock::time_point deadline);
    struct Frame {
        bool fin;
        unsigned char opcode;
        std::string payload;
    };
    std::optional<Frame> nextFrame(std::chrono::steady_clock::time_point deadline);

    int fd_;
    struct ssl_st* ssl_ = nullptr;
    std::string buffer_;
    bool closed_ = false;
    int closeCode_ = 0;
};
