// A test with the real service running in its sandbox: a pty scanner and
// WebSocket clients on port 9010.
#pragma once

#include "sandbox.h"
#include "service_process.h"
#include "ws_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <string>
#include <utility>
#include <vector>

// How long a scan may take to reach a client while others misbehave or a
// broker is away. A client held up by them waits for seconds (timeouts,
// reconnections); the bound stays well clear of what a busy machine adds,
// and sanitizers slow the service down many times.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kServedWithin = 5s;
#else
constexpr auto kServedWithin = 1s;
#endif

// Every block the file system has left, taken by one file.
inline void fill(const std::string& path) {
    std::ofstream filler(path);
    for (const std::string block(4096, 'f'); filler.write(block.data(), block.size());) {
    }
}

// Small socket buffers in the test's network namespace, so that a client
// that stops reading stalls the service's writes after a few scans.
inline void shrinkSocketBuffers(const char* receiveSizes = "4096 4096 4096") {
    for (const auto& [sysctl, sizes] : {std::pair{"/proc/sys/net/ipv4/tcp_rmem", receiveSizes},
                                        {"/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"}}) {
        FILE* file = fopen(sysctl, "w");
        ASSERT_TRUE(file);
        fputs(sizes, file);
        fclose(file);
    }
}

// Whether `condition` holds within the timeout, looked at every 20 ms.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 10s) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Of the service's descriptors on `target` (a prefix), lowest first, the
// number on one line of their fdinfo ("flags:", "eventfd-count:").
inline std::vector<unsigned long> fdInfo(pid_t pid, const std::string& target, const std::string& field, int base) {
    std::vector<unsigned long> values;
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int fd = 0; fd < 64; ++fd) {
        char link[256] = {};
        if (readlink((proc + "/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1) <= 0 ||
            std::string(link).rfind(target, 0) != 0)
            continue;
        std::ifstream info(proc + "/fdinfo/" + std::to_string(fd));
        for (std::string line; std::getline(info, line);)
            if (line.rfind(field, 0) == 0) values.push_back(std::stoul(line.substr(field.size()), nullptr, base));
    }
    return values;
}

// A scan is under way: the relay has read its first bytes and waits for
// more (only then is the serial port non-blocking).
inline bool scanUnderWay(pid_t pid) {
    const auto flags = fdInfo(pid, "/dev/pts/", "flags:", 8);
    return std::any_of(flags.begin(), flags.end(), [](unsigned long f) { return (f & O_NONBLOCK) != 0; });
}

// A command line the service refuses before it starts anything: status 2,
// nothing on standard output and one line on standard error (that holds
// `says`, when given).
inline void expectRefusedWithOneLine(const std::vector<std::string>& args, const std::string& says = "") {
    ServiceProcess service(args);
    const std::string what = args.size() > 1 ? args[1] : "";
    EXPECT_EQ(service.waitForExit(), 2) << what;
    EXPECT_EQ(service.out(), "") << what;
    const std::string err = service.err();
    EXPECT_EQ(err.rfind("TirnSerial: ", 0), 0u) << err;
    EXPECT_EQ(occurrences(err, "\n"), 1) << err;
    EXPECT_NE(err.find(says), std::string::npos) << "expected " << says << " in " << err;
}

// A file holding `text` (a token, say) in a new directory, with `mode`.
inline std::string secretFile(const std::string& text, mode_t mode = 0600) {
    char dir[] = "/tmp/secret-XXXXXX";
    const std::string path = std::string(mkdtemp(dir)) + "/secret";
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

// What a shell command prints on standard output.
inline std::string commandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    pclose(pipe);
    return output;
}

// Waits until the service holds no more descriptors than `count`.
inline bool waitForDescriptors(const ServiceProcess& service, int count, std::chrono::milliseconds timeout = 5s) {
    return eventually([&] { return service.openDescriptors() <= count; }, timeout);
}

// The next message `client` receives is `payload`, as text.
inline void expectNextMessage(WsClient& client, const std::string& payload) {
    const auto message = client.receive();
    ASSERT_TRUE(message) << "nothing came; expected " << payload;
    EXPECT_EQ(message->payload, payload);
    EXPECT_TRUE(message->text);
}

class ServiceTest : public testing::Test {
protected:
    void SetUp() override { REQUIRE_SANDBOX(); }

    void startService(const char* mode = "0", ServiceOptions options = {}) {
        startService(std::vector<std::string>{mode}, options);
    }
    void startService(std::vector<std::string> args, ServiceOptions options = {}) {
        service_ = std::make_unique<ServiceProcess>(std::move(args), options);
        subscriptions_ = 0;
        ASSERT_TRUE(service_->waitUntilServing()) << service_->out() << service_->err();
    }

    // A client subscribed `messages` times.
    std::unique_ptr<WsClient> subscriber(int messages = 1) {
        auto client = WsClient::connect(endpoint_);
        EXPECT_TRUE(client);
        for (int i = 0; client && i < messages; ++i) {
            client->sendText("hello");
            EXPECT_TRUE(service_->waitForOutput("g_conn  get!", ++subscriptions_));
        }
        return client;
    }

    // `scan` from the scanner reaches `client` as its next message.
    void expectScanReaches(WsClient& client, const std::string& scan) {
        service_->scan(scan);
        expectNextMessage(client, scanMessage(scan));
    }

    // The Data texts of the messages a client receives until `total` bytes of
    // Data have arrived or nothing more comes.
    static std::string collectData(WsClient& client, std::size_t total) {
        std::string data;
        while (data.size() < total) {
            const auto message = client.receive();
            if (!message) break;
            const std::string& json = message->payload;
            const auto start = json.find("\"Data\":\t\"") + 9;
            data += json.substr(start, json.size() - start - 3);
        }
        return data;
    }

    // Ends the service the way it ends in the field: the adapter goes away.
    void unplugAndExpectCleanExit() {
        service_->unplugScanner();
        EXPECT_EQ(service_->waitForExit(), 0) << service_->err();
        EXPECT_NE(service_->out().find("GetConAgain output:init_com error \n"), std::string::npos);
    }

    std::unique_ptr<ServiceProcess> service_;
    WsEndpoint endpoint_ = kServiceEndpoint;  // where subscribers connect
    int subscriptions_ = 0;
};
