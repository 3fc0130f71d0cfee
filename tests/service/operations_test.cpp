// The service as an admin runs it: behind a log pipe that closes, with a
// port that cannot listen yet, under systemd's notification socket and
// watchdog, and into a journal that takes both streams.
#include "http_reply.h"
#include "keyboard_records.h"
#include "service_test.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// systemd's end of the notification socket: one datagram per sd_notify.
class NotifySocket {
public:
    NotifySocket() {
        char dir[] = "/tmp/notify-XXXXXX";
        path_ = std::string(mkdtemp(dir)) + "/socket";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() { close(fd_); }
    std::string variable() const { return "NOTIFY_SOCKET=" + path_; }

    // The next message, or "" when none comes in time.
    std::string next(std::chrono::milliseconds timeout = 10s) {
        timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char message[4096];
        const ssize_t got = recv(fd_, message, sizeof message, 0);
        return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
    }
    // Messages until one holds `text`; that one, or "".
    std::string until(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string message = next(timeout);
            if (message.find(text) != std::string::npos) return message;
        }
        return "";
    }

private:
    std::string path_;
    int fd_;
};

// The longest silence between watchdog pings (counted from the start, and
// up to the end) while `work` runs on a thread of its own.
template <class Work>
std::chrono::milliseconds longestSilenceDuring(NotifySocket& systemd, Work work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    for (bool ended = false; !ended;) {
        ended = done;
        const bool ping = systemd.next(50ms).find("WATCHDOG=1") != std::string::npos;
        const auto now = std::chrono::steady_clock::now();
        if (!ping && !ended) continue;
        longest = std::max(longest, now - last);
        last = now;
    }
    worker.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

// Stops one thread of the service while the others go on, as a sink that
// blocks would stop the relay loop (the main thread), until this ends. Not
// frozen where ptrace is not to be had (under an emulator).
class FrozenThread {
public:
    explicit FrozenThread(pid_t thread) : thread_(thread) {
        int status = 0;
        seized_ = ptrace(PTRACE_SEIZE, thread, nullptr, nullptr) == 0;
        frozen_ = seized_ && ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr) == 0 &&
                  waitpid(thread, &status, __WALL) == thread;
    }
    ~FrozenThread() {
        if (seized_) ptrace(PTRACE_DETACH, thread_, nullptr, nullptr);
    }
    bool frozen() const { return frozen_; }

private:
    const pid_t thread_;
    bool seized_, frozen_;
};

// The service has taken SIGTERM: its stop descriptor, the first eventfd it
// makes, is readable.
bool stopRaised(pid_t pid) {
    const auto counts = fdInfo(pid, "anon_inode:[eventfd]", "eventfd-count:", 16);
    return !counts.empty() && counts.front() > 0;
}

// Bytes that the scanner sent and the service has not read yet.
int bytesWaitingInThePort() {
    const int port = open("/dev/ttyUSB0", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int waiting = -1;
    ioctl(port, FIONREAD, &waiting);
    close(port);
    return waiting;
}

const std::string kKeyboard = "/dev/input/by-id/usb-Scanner-event-kbd";

using Operations = ServiceTest;

// `TirnSerial 0 | tee log`, and tee ends: scans go on, and the service ends
// as it always does.
TEST_F(Operations, ClosedLogPipeCostsOnlyTheCommentary) {
    startService();
    auto client = subscriber();
    service_->closeOutput();
    for (const char* scan : {"AFTER-THE-LOG-1", "AFTER-THE-LOG-2", "AFTER-THE-LOG-3"}) expectScanReaches(*client, scan);
    service_->unplugScanner();
    EXPECT_EQ(service_->waitForExit(), 0);
}

// An address not up yet at start-up (DHCP or a static address still being
// configured at boot): the service says why it cannot listen, relays, tries
// again quietly, and listens once the address is there, on that address and
// port only. systemd hears it ready at once, and why the port is not listening.
TEST_F(Operations, PortThatCannotListenYetIsTriedAgain) {
    ASSERT_EQ(std::system("ip addr del 127.0.0.1/8 dev lo && ip addr add 127.0.0.1/32 dev lo"), 0);
    NotifySocket systemd;
    ServiceOptions options;
    options.environment = {systemd.variable()};
    startService({"0", "--bind", "127.0.0.5", "--port", "9123"}, options);
    const std::string ready = systemd.until("READY=1");
    EXPECT_NE(ready.find("STATUS=relaying; port 9123 not listening: Cannot assign requested address; retrying"),
              std::string::npos)
        << ready;
    EXPECT_TRUE(service_->waitForOutput("ERROR: Expected to find proper listener connection status, but found..\n"
                                        "cannot listen on 127.0.0.5 port 9123: Cannot assign requested address; "
                                        "trying again every 2 s\n"))
        << service_->out();
    service_->scan("WHILE-DEAF");
    EXPECT_TRUE(service_->waitForOutput("OpenPort is sucessful", 2)) << "the scan was not read, nor the port reopened";

    ASSERT_EQ(std::system("ip addr add 127.0.0.5/32 dev lo"), 0);
    EXPECT_TRUE(service_->waitForOutput("listening on 127.0.0.5 port 9123 now\n")) << service_->out();
    EXPECT_EQ(service_->countInOutput("cannot listen"), 1) << "retries are quiet";
    EXPECT_FALSE(WsClient::connect(WsEndpoint{9123, "127.0.0.1", ""}, 300ms)) << "not on the address given";
    endpoint_ = WsEndpoint{9123, "127.0.0.5", ""};
    auto client = subscriber();
    ASSERT_TRUE(client);
    expectScanReaches(*client, "HEARD");
    unplugAndExpectCleanExit();
}

// READY once the port listens, the figures in STATUS, watchdog pings while
// the relay and the server both make progress, also while stored scans
// stream in without a pause (each scan's end byte arrives with the start of
// the next), and STOPPING at the end.
TEST_F(Operations, SystemdHearsReadinessStatusAndWatchdog) {
    NotifySocket systemd;
    ServiceOptions options;
    options.environment = {systemd.variable(), "WATCHDOG_USEC=2000000"};
    startService({"0", "--end-on", "cr"}, options);
    const std::string ready = systemd.until("READY=1");
    EXPECT_NE(ready.find("STATUS=relaying; 0 clients; 0 scans"), std::string::npos) << ready;
    auto client = subscriber();  // the port listens by the time systemd hears READY
    ASSERT_TRUE(client);
    service_->scan("COUNTED\r");
    ASSERT_TRUE(client->receive());
    EXPECT_FALSE(systemd.until("STATUS=relaying; 1 clients; 1 scans; last scan ").empty());
    int pings = 0;
    for (int i = 0; i < 40 && pings < 3; ++i) pings += systemd.next(2s).find("WATCHDOG=1") != std::string::npos;
    EXPECT_EQ(pings, 3);

    const auto silence = longestSilenceDuring(systemd, [this] {
        service_->scan("12345678");
        for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
            service_->scan("\r12345678");
            std::this_thread::sleep_for(2ms);
        }
        service_->scan("\r");
    });
    EXPECT_LT(silence, 2s) << silence.count() << " ms without a ping while scans were relayed";
    service_->unplugScanner();
    EXPECT_FALSE(systemd.until("STOPPING=1").empty());
    EXPECT_EQ(service_->waitForExit(), 0);
}

// Pings come from the relay loop itself: a keyboard scanner uploading stored
// scans key after key keeps them coming (its device is never quiet), and
// the loop stopped (as behind a sink that blocks) silences them while the
// scanner's reader goes on reading. The scans wait for the loop.
TEST_F(Operations, WatchdogFollowsTheRelayLoop) {
    NotifySocket systemd;
    ServiceOptions options;
    options.environment = {systemd.variable(), "WATCHDOG_USEC=2000000"};
    VirtualKeyboardScanner keyboard(kKeyboard);
    startService({"0", "--device", kKeyboard, "--gap-ms", "1000"}, options);  // Enter ends each scan
    ASSERT_FALSE(systemd.until("READY=1").empty());
    auto client = subscriber();
    int uploaded = 0;
    const auto silence = longestSilenceDuring(systemd, [&] {
        for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;
             ++uploaded) {
            for (const char key : std::string("12345678\r")) {
                keyboard.type(std::string(1, key));
                std::this_thread::sleep_for(2ms);
            }
        }
    });
    EXPECT_LT(silence, 2s) << silence.count() << " ms without a ping during an upload of " << uploaded << " scans";

    {
        FrozenThread relay(service_->pid());
        if (!relay.frozen()) GTEST_SKIP() << "no ptrace here to stop the relay loop alone";
        keyboard.type("FROZEN-1\rFROZEN-2\r");
        int pings = 0;
        for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;)
            pings += systemd.next(100ms).find("WATCHDOG=1") != std::string::npos;
        EXPECT_LE(pings, 1) << "one may be owed to the beats before the stop";
    }
    auto message = client->receive();
    while (message && message->payload == scanMessage("12345678\\r", 9)) message = client->receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->payload, scanMessage("FROZEN-1\\r", 9));
    expectNextMessage(*client, scanMessage("FROZEN-2\\r", 9));
    EXPECT_FALSE(systemd.until("WATCHDOG=1").empty());
    keyboard.unplug();
    EXPECT_EQ(service_->waitForExit(), 0);
}

// systemctl stop or restart (SIGTERM): the scan under way, and what the
// scanner had sent, go out before the service ends with status 0. The rest
// of a scan that came with the stop belongs to that scan.
TEST_F(Operations, TerminationPublishesWhatTheScannerSent) {
    startService({"0", "--gap-ms", "1000"});
    auto client = subscriber();
    service_->scan("SENT-BEFORE-");
    ASSERT_TRUE(eventually([&] { return scanUnderWay(service_->pid()); }));
    {
        // Both wait for the relay when it looks again (where ptrace is
        // to be had; else they race it).
        FrozenThread relay(service_->pid());
        service_->scan("THE-STOP");
        ASSERT_EQ(kill(service_->pid(), SIGTERM), 0);
        if (relay.frozen()) {
            EXPECT_TRUE(eventually([&] { return bytesWaitingInThePort() == 8 && stopRaised(service_->pid()); }));
        }
    }
    EXPECT_EQ(service_->waitForExit(), 0);
    expectNextMessage(*client, scanMessage("SENT-BEFORE-THE-STOP"));
    EXPECT_NE(service_->out().find("stopping: asked to end (SIGTERM or SIGINT)"), std::string::npos);
}

// Both streams into one pipe, as the journal takes them: the lines keep the
// order they were printed in, each with its priority for the journal.
TEST_F(Operations, JournalKeepsTheOrderOfBothStreams) {
    ServiceOptions options;
    options.scannerPlugged = false;
    options.oneStream = true;
    options.journal = true;
    ServiceProcess service({"abc", "--baud", "1200", "--gap-ms", "1"}, options);
    EXPECT_EQ(service.waitForExit(), 255);
    const std::string journal = service.out();
    std::size_t at = 0;
    for (const char* line : {"<4>TirnSerial: warning: --gap-ms 1 is shorter than three characters on /dev/ttyUSB0 "
                             "(25 ms at 1200 bit/s): its scans may arrive cut apart\n",
                             "<7>程序打开成功!\n",
                             "<4>TirnSerial: warning: the mode 'abc' is not a number: read as mode 0 (see --help)\n",
                             "<7>已选择pdf417\n", "<7>open /dev/ttyUSB0\n",
                             "<7>open serial port: No such file or directory\n", "<7>init_com error\n",
                             "<3>TirnSerial: no scanner at /dev/ttyUSB0: plug the scanner in, or name its device "
                             "with --device\n"}) {
        const auto found = journal.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " out of order in:\n" << journal;
        at = found;
    }
    EXPECT_EQ(occurrences(journal, "\n"), occurrences("\n" + journal, "\n<")) << "a line without its priority:\n"
                                                                              << journal;
}

// --log events: what an admin follows, in English, and the clients summed
// up (at most once a minute) instead of a line per connection and per send;
// never a scan's content. --log warnings: nothing while all goes well.
TEST_F(Operations, QuieterLogLevelsKeepWhatAnAdminFollows) {
    // (No console line says so at these levels.)
    const auto oneSubscription = [] {
        return request("GET", "/status").body.find("\"subscriptions\":\t1,") != std::string::npos;
    };
    startService({"0", "--log", "events"});
    auto client = WsClient::connect();
    ASSERT_TRUE(client);
    client->sendText("hello");
    ASSERT_TRUE(eventually(oneSubscription));
    expectScanReaches(*client, "PAYMENT-CODE-4711");
    EXPECT_TRUE(service_->waitForOutput(" left since the last line\n"));
    service_->unplugScanner();
    EXPECT_EQ(service_->waitForExit(), 0);
    const std::string started = "TirnSerial " TIRN_VERSION " starting in mode 0\n"
                                "serial scanner /dev/ttyUSB0: reading it\n"
                                "listening on 0.0.0.0 port 9010\n";
    const std::string ended = " subscribed; 1 joined, 0 left since the last line\n"
                              "scanner /dev/ttyUSB0 is gone, the last one: the service ends\n";
    // The summary may come between the connection and its subscription.
    const std::string out = service_->out();
    EXPECT_TRUE(out == started + "clients: 1" + ended || out == started + "clients: 0" + ended) << out;
    EXPECT_EQ(service_->err(), "");

    ServiceProcess quiet({"0", "--log", "warnings"});
    ASSERT_TRUE(eventually([] { return request("GET", "/status").status == 200; }));
    auto other = WsClient::connect();
    ASSERT_TRUE(other);
    other->sendText("hello");
    ASSERT_TRUE(eventually(oneSubscription));
    quiet.scan("PAYMENT-CODE-4712");
    ASSERT_TRUE(other->receive());
    quiet.unplugScanner();
    EXPECT_EQ(quiet.waitForExit(), 0);
    EXPECT_EQ(quiet.out() + quiet.err(), "");
}

// A journal nobody reads for a while, and scans that print more than the
// output buffer holds at once (3000 subscriptions, 66 KB each): lines are
// dropped whole, and the count says exactly how many.
TEST_F(Operations, UnreadConsoleDropsWholeLinesAndCountsThem) {
    ServiceOptions journal;
    journal.oneStream = true;
    startService({"0", "--end-on", "cr"}, journal);
    std::vector<std::unique_ptr<WsClient>> clients(3);
    for (auto& client : clients) {
        ASSERT_TRUE(client = WsClient::connect());
        for (int entry = 0; entry < 1000; ++entry) client->sendText("hello");
    }
    ASSERT_TRUE(service_->waitForOutput("g_conn  get!", 3000, 60s));
    std::atomic<bool> reading{true};
    std::thread reader([&] {  // the clients take their scans
        std::vector<pollfd> fds;
        for (const auto& client : clients) fds.push_back({client->descriptor(), POLLIN, 0});
        for (char bytes[65536]; reading;)
            if (poll(fds.data(), fds.size(), 20) > 0)
                for (const pollfd& fd : fds) (void)!(fd.revents && read(fd.fd, bytes, sizeof bytes));
    });
    service_->pauseOutput(true);
    for (int i = 0; i < 40; ++i) service_->scan("SCAN\r");
    EXPECT_TRUE(eventually(
        [] { return request("GET", "/status").body.find("\"scans_relayed\":\t40,") != std::string::npos; }, 60s));
    service_->pauseOutput(false);

    // Each scan: two lines of its conversion, a line per subscription and
    // three of the port's reopening; counted from the first scan's first send.
    const std::set<std::string> known{"call websocket doSend", "open /dev/ttyUSB0", "OpenPort is sucessful",
                                      "standard input is not a terminal device: Inappropriate ioctl for device",
                                      "[func:code_convert]----next is iconv ", "[func:code_convert]----iconv is over "};
    long shown = 0, dropped = 0;
    std::string fragments;
    EXPECT_TRUE(eventually([&] {
        const std::string out = service_->out();
        std::istringstream lines(out.substr(std::min(out.size(), out.find("call websocket doSend\n"))));
        shown = dropped = 0;
        fragments.clear();
        for (std::string line; std::getline(lines, line);) {
            long figure = 0;
            if (known.count(line)) ++shown;
            else if (sscanf(line.c_str(), "[console: %ld", &figure) == 1 &&
                     line == "[console: " + std::to_string(figure) + " lines dropped while output was blocked]")
                dropped += figure;
            else fragments += line + "\n";
        }
        return shown + dropped == 40 * (3000 + 5) - 2;
    }, 30s)) << shown << " shown, " << dropped << " dropped";
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(fragments, "");
    reading = false;
    reader.join();
    unplugAndExpectCleanExit();
}

}  // namespace
