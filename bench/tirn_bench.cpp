// Measures a scanner-to-WebSocket bridge end to end, the way users meet it:
// this program plays the scanner on /dev/ttyUSB0 (a pty) and every
// subscriber on port 9010, and reads the bridge's CPU time and memory from
// /proc. Run it inside scripts/sandbox. Prints one JSON object.
//
// usage: tirn-bench --label NAME [--subscribers 1,100,1000] [--sizes 14,100,1000]
//                   [--scans 300] [--hold 10000] [--idle-seconds 20] -- COMMAND [ARGS...]
#include "virtual_scanner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    std::string label;
    std::vector<int> subscribers{1, 100, 1000};
    std::vector<int> sizes{14, 100, 1000};
    int scans = 300;
    int hold = 10000;
    int idleSeconds = 20;
    std::vector<std::string> command;
};

std::vector<int> numbers(const std::string& list) {
    std::vector<int> values;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) values.push_back(std::stoi(item));
    return values;
}

bool parse(int argc, char** argv, Options& options) {
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (arg == "--label") options.label = value;
        else if (arg == "--subscribers") options.subscribers = numbers(value);
        else if (arg == "--sizes") options.sizes = numbers(value);
        else if (arg == "--scans") options.scans = std::stoi(value);
        else if (arg == "--hold") options.hold = std::stoi(value);
        else if (arg == "--idle-seconds") options.idleSeconds = std::stoi(value);
        else return false;
    }
    for (++i; i < argc; ++i) options.command.push_back(argv[i]);
    return !options.label.empty() && !options.command.empty();
}

// ---- the bridge under test ----

pid_t startBridge(const std::vector<std::string>& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        std::vector<char*> argv;
        for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// CPU time of all the process's threads, in seconds.
double cpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
            unsigned long long runNs = 0;
            if (stat >> runNs) total += static_cast<double>(runNs) / 1e9;
        }
        closedir(dir);
    }
    return total;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// ---- the subscribers ----

std::string maskedFrame(unsigned char opcode, const std::string& payload) {
    std::string frame{static_cast<char>(0x80 | opcode), static_cast<char>(0x80 | payload.size())};
    const char mask[4] = {1, 2, 3, 4};
    frame.append(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ mask[i % 4]);
    return frame;
}

struct Subscriber {
    int fd = -1;
    bool open = false;    // handshake done
    std::string in;
    int received = 0;     // complete data messages
    Clock::time_point lastAt;
    std::string lastMessage;
};

class Subscribers {
public:
    Subscribers() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

    // Connects and subscribes `count` more clients, in batches the listen
    // backlog can take.
    bool add(int count) {
        for (int done = 0; done < count;) {
            const int batch = std::min(200, count - done);
            const std::size_t first = clients_.size();
            for (int i = 0; i < batch; ++i)
                if (!connectOne()) return false;
            const auto deadline = Clock::now() + 20s;
            while (!allOpen(first)) {
                if (Clock::now() > deadline) return false;
                poll(100ms);
            }
            for (std::size_t i = first; i < clients_.size(); ++i) sendAll(clients_[i].fd, maskedFrame(1, "hello"));
            done += batch;
        }
        return true;
    }

    std::size_t size() const { return clients_.size(); }
    void resetCounts() {
        for (auto& c : clients_) c.received = 0;
    }
    int minimumReceived() const {
        int least = INT32_MAX;
        for (const auto& c : clients_) least = std::min(least, c.received);
        return clients_.empty() ? 0 : least;
    }
    // Waits until every client has `target` messages; false on timeout.
    bool waitForAll(int target, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (minimumReceivedCached(target) < target) {
            if (Clock::now() > deadline) return false;
            poll(10ms);
        }
        return true;
    }
    void drain(std::chrono::milliseconds period) {
        const auto until = Clock::now() + period;
        while (Clock::now() < until) poll(10ms);
    }
    const std::vector<Subscriber>& clients() const { return clients_; }

private:
    bool connectOne() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(9010);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            perror("tirn-bench: connect");
            if (fd >= 0) close(fd);
            return false;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        fcntl(fd, F_SETFL, O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = clients_.size();
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
        clients_.push_back(Subscriber{});
        clients_.back().fd = fd;
        return true;
    }

    static void sendAll(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EAGAIN) std::this_thread::sleep_for(100us);
            else return;
        }
    }

    bool allOpen(std::size_t from) const {
        for (std::size_t i = from; i < clients_.size(); ++i)
            if (!clients_[i].open) return false;
        return true;
    }

    int minimumReceivedCached(int target) {
        // Counting all clients on every wakeup would dominate with 10 000 of
        // them; count those still short instead.
        int least = target;
        for (std::size_t i = nextShort_; i < clients_.size(); ++i) {
            if (clients_[i].received < target) {
                nextShort_ = i;
                return clients_[i].received;
            }
        }
        nextShort_ = 0;
        for (const auto& c : clients_) least = std::min(least, c.received);
        return least;
    }

    void poll(std::chrono::milliseconds timeout) {
        epoll_event events[512];
        const int ready = epoll_wait(epoll_, events, 512, static_cast<int>(timeout.count()));
        const auto now = Clock::now();
        for (int i = 0; i < ready; ++i) readFrom(clients_[events[i].data.u64], now);
    }

    void readFrom(Subscriber& c, Clock::time_point now) {
        char chunk[65536];
        for (;;) {
            const ssize_t n = recv(c.fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            c.in.append(chunk, static_cast<std::size_t>(n));
        }
        if (!c.open) {
            const auto end = c.in.find("\r\n\r\n");
            if (end == std::string::npos) return;
            c.open = true;
            c.in.erase(0, end + 4);
        }
        parseFrames(c, now);
    }

    void parseFrames(Subscriber& c, Clock::time_point now) {
        for (;;) {
            if (c.in.size() < 2) return;
            const auto* b = reinterpret_cast<const unsigned char*>(c.in.data());
            std::size_t header = 2;
            std::uint64_t size = b[1] & 0x7F;
            const std::size_t extra = size == 126 ? 2 : size == 127 ? 8 : 0;
            if (c.in.size() < header + extra) return;
            if (extra) {
                size = 0;
                for (std::size_t i = 0; i < extra; ++i) size = (size << 8) | b[header + i];
            }
            header += extra;
            if (c.in.size() < header + size) return;
            const unsigned opcode = b[0] & 0x0F;
            const bool fin = (b[0] & 0x80) != 0;
            if (opcode == 0x9) {
                sendAll(c.fd, maskedFrame(0xA, c.in.substr(header, size)));
            } else if (opcode <= 0x2) {
                if (opcode != 0) partial_.clear();
                if (&c == &clients_.front()) partial_ += c.in.substr(header, size);
                if (fin) {
                    ++c.received;
                    c.lastAt = now;
                    if (&c == &clients_.front()) c.lastMessage = partial_;
                }
            }
            c.in.erase(0, header + size);
        }
    }

    int epoll_;
    std::vector<Subscriber> clients_;
    std::size_t nextShort_ = 0;
    std::string partial_;
};

// ---- measuring ----

std::string scanOfSize(int size, int serial) {
    std::string scan = std::to_string(1000000 + serial);
    while (static_cast<int>(scan.size()) < size - 1) scan += static_cast<char>('A' + scan.size() % 26);
    scan.resize(size - 1);
    return scan + "\r";
}

std::string expectedMessage(const std::string& scan) {
    return "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"size\":\t" + std::to_string(scan.size()) +
           ",\n\t\"Data\":\t\"" + scan.substr(0, scan.size() - 1) + "\\r\"\n}";
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()));
    return values[index];
}

std::string distribution(const std::vector<double>& values) {
    char text[160];
    snprintf(text, sizeof text, "{\"median\": %.3f, \"p99\": %.3f, \"max\": %.3f}", quantile(values, 0.5),
             quantile(values, 0.99), values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()));
    return text;
}

struct Series {
    int subscribers = 0, size = 0, scans = 0, lost = 0, wrong = 0;
    std::vector<double> firstMs, lastMs, allMs;
    double cpuPerScan = 0;
};

// Warms the subscribers up: scans until every one has received one.
bool warmUp(VirtualScanner& scanner, Subscribers& subscribers) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        subscribers.resetCounts();
        scanner.type("WARMUP\r");
        if (subscribers.waitForAll(1, 2s)) {
            subscribers.drain(50ms);
            return true;
        }
    }
    return false;
}

Series measure(VirtualScanner& scanner, Subscribers& subscribers, pid_t bridge, int size, int scans) {
    Series series;
    series.subscribers = static_cast<int>(subscribers.size());
    series.size = size;
    series.scans = scans;
    const double cpuBefore = cpuSeconds(bridge);
    for (int i = 0; i < scans; ++i) {
        subscribers.resetCounts();
        const std::string scan = scanOfSize(size, i);
        const auto start = Clock::now();
        scanner.type(scan);
        if (!subscribers.waitForAll(1, 10s)) {
            ++series.lost;
            subscribers.drain(200ms);
            continue;
        }
        double first = 1e9, last = 0;
        for (const auto& c : subscribers.clients()) {
            const double ms = std::chrono::duration<double, std::milli>(c.lastAt - start).count();
            first = std::min(first, ms);
            last = std::max(last, ms);
            if (subscribers.size() <= 1000 || series.allMs.size() < 100000) series.allMs.push_back(ms);
        }
        series.firstMs.push_back(first);
        series.lastMs.push_back(last);
        if (subscribers.clients().front().lastMessage != expectedMessage(scan)) ++series.wrong;
        // A pause between scans, as between two people's scans, so that no
        // two bursts run together.
        std::this_thread::sleep_for(std::chrono::milliseconds(15 + i % 10));
        subscribers.drain(1ms);
    }
    series.cpuPerScan = (cpuSeconds(bridge) - cpuBefore) / scans;
    return series;
}

void printSeries(const Series& s, bool comma) {
    printf("    {\"subscribers\": %d, \"size\": %d, \"scans\": %d, \"lost\": %d, \"wrong\": %d,\n"
           "     \"first_ms\": %s,\n     \"last_ms\": %s,\n     \"all_ms\": %s,\n"
           "     \"cpu_ms_per_scan\": %.4f}%s\n",
           s.subscribers, s.size, s.scans, s.lost, s.wrong, distribution(s.firstMs).c_str(),
           distribution(s.lastMs).c_str(), distribution(s.allMs).c_str(), s.cpuPerScan * 1000,
           comma ? "," : "");
}

bool waitForListener() {
    for (int i = 0; i < 300; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(9010);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: tirn-bench --label NAME [--subscribers 1,100,1000] [--sizes 14,100,1000]\n"
                        "                  [--scans 300] [--hold 10000] [--idle-seconds 20] -- COMMAND...\n");
        return 2;
    }
    const rlimit files{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);  // inherited by the bridge
    signal(SIGPIPE, SIG_IGN);

    VirtualScanner scanner;
    const pid_t bridge = startBridge(options.command);
    if (!scanner.pluggedIn() || !waitForListener()) {
        fprintf(stderr, "tirn-bench: %s did not start listening on port 9010\n", options.label.c_str());
        kill(bridge, SIGKILL);
        return 1;
    }
    std::this_thread::sleep_for(300ms);
    const long memoryIdle = residentKb(bridge);

    Subscribers subscribers;
    std::vector<Series> results;
    double idleCpuPercent = -1;
    long memoryAtLargest = -1;
    for (int count : options.subscribers) {
        if (!subscribers.add(count - static_cast<int>(subscribers.size())) || !warmUp(scanner, subscribers)) {
            fprintf(stderr, "tirn-bench: could not subscribe %d clients\n", count);
            break;
        }
        fprintf(stderr, "%s: %d subscribers\n", options.label.c_str(), count);
        for (int size : options.sizes) results.push_back(measure(scanner, subscribers, bridge, size, options.scans));
        if (count == options.subscribers.back()) {
            memoryAtLargest = residentKb(bridge);
            const double before = cpuSeconds(bridge);
            subscribers.drain(std::chrono::seconds(options.idleSeconds));
            idleCpuPercent = 100 * (cpuSeconds(bridge) - before) / options.idleSeconds;
        }
    }

    long memoryHeld = -1;
    Series held;
    if (options.hold > 0 && subscribers.add(options.hold - static_cast<int>(subscribers.size())) &&
        warmUp(scanner, subscribers)) {
        fprintf(stderr, "%s: %d subscribers held\n", options.label.c_str(), options.hold);
        memoryHeld = residentKb(bridge);
        held = measure(scanner, subscribers, bridge, 14, 20);
    }
    kill(bridge, SIGKILL);
    waitpid(bridge, nullptr, 0);

    printf("{\"label\": \"%s\",\n \"memory_kb\": {\"0\": %ld, \"%d\": %ld, \"%d\": %ld},\n"
           " \"idle_cpu_percent\": {\"subscribers\": %d, \"percent\": %.4f},\n \"series\": [\n",
           options.label.c_str(), memoryIdle, options.subscribers.back(), memoryAtLargest, options.hold,
           memoryHeld, options.subscribers.back(), idleCpuPercent);
    for (std::size_t i = 0; i < results.size(); ++i) printSeries(results[i], true);
    printSeries(held, false);
    printf(" ]}\n");
    return 0;
}
