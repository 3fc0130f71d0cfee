// Measures a scanner-to-WebSocket bridge end to end, the way users meet it:
// this program plays the scanner on /dev/ttyUSB0 (a pty) and every
// subscriber on port 9010, reads the bridge's CPU time and memory from
// /proc, and its output from a pipe, as journald would. Run it inside
// scripts/sandbox. Prints one JSON object.
//
// usage: tirn-bench --label NAME [--subscribers 1,100,1000] [--sizes 14,100,1000]
//                   [--scans 300] [--hold 10000] [--idle-seconds 20] [--adapter MODEL]
//                   [--floor SOCKETS] [--tls] [--mqtt] [--keyboard PATH] -- COMMAND [ARGS...]
// --tls: the subscribers connect over TLS (the bridge's command then gives
// it a certificate).
// --mqtt: a broker (mosquitto) on 127.0.0.1:18830 and a subscriber to
// tirn-bench/scan there, whose latency is measured too (the bridge's
// command then publishes there).
// --keyboard PATH: the scanner is a keyboard-mode one (US layout), its
// input event records written to a FIFO at PATH (the bridge's command then
// reads it); latency counts from its last record, the Enter key's.
#include "bridge_process.h"
#include "client_fleet.h"
#include "keyboard_records.h"
#include "kernel_floor.h"
#include "mqtt_watcher.h"
#include "virtual_scanner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBrokerPort = 18830;
const char* const kBrokerTopic = "tirn-bench/scan";

struct Options {
    std::string label;
    std::vector<int> subscribers{1, 100, 1000};
    std::vector<int> sizes{14, 100, 1000};
    int scans = 300;
    int hold = 10000;
    int idleSeconds = 20;
    Pacing pacing;
    int floorSockets = 0;
    bool tls = false;
    bool mqtt = false;
    std::string keyboard;  // empty: a serial scanner on the pty
    std::vector<std::string> command;
};

// The scanner the bench plays: serial on a pty, or keyboard-mode through a
// FIFO.
struct PlayedScanner {
    std::unique_ptr<VirtualScanner> serial;
    std::unique_ptr<VirtualKeyboardScanner> keyboard;

    explicit PlayedScanner(const std::string& keyboardPath) {
        if (keyboardPath.empty()) serial = std::make_unique<VirtualScanner>();
        else keyboard = std::make_unique<VirtualKeyboardScanner>(keyboardPath);
    }
    bool pluggedIn() const { return serial ? serial->pluggedIn() : keyboard->pluggedIn(); }
    bool type(const std::string& scan, const Pacing& pacing = {}) {
        return serial ? serial->type(scan, pacing) : keyboard->type(scan);
    }
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
        if (arg == "--tls" || arg == "--mqtt") {
            (arg == "--tls" ? options.tls : options.mqtt) = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (arg == "--label") options.label = value;
        else if (arg == "--subscribers") options.subscribers = numbers(value);
        else if (arg == "--sizes") options.sizes = numbers(value);
        else if (arg == "--scans") options.scans = std::stoi(value);
        else if (arg == "--hold") options.hold = std::stoi(value);
        else if (arg == "--idle-seconds") options.idleSeconds = std::stoi(value);
        else if (arg == "--floor") options.floorSockets = std::stoi(value);
        else if (arg == "--keyboard") options.keyboard = value;
        else if (arg == "--adapter" && adapterNamed(value)) options.pacing.adapter = *adapterNamed(value);
        else return false;
    }
    for (++i; i < argc; ++i) options.command.push_back(argv[i]);
    return !options.label.empty() && !options.command.empty();
}

// ---- the subscribers ----

// The fleet of subscribers, counting what each has received.
class Subscribers {
public:
    explicit Subscribers(bool tls)
        : fleet_([this](std::size_t client, std::string_view payload, Clock::time_point at) {
              Tally& tally = tallies_[client];
              ++tally.received;
              tally.lastAt = at;
              if (client == 0) firstClientMessage_ = payload;
          }, tls) {}

    bool add(int count) {
        const long first = fleet_.connect(count);
        if (first < 0) return false;
        tallies_.resize(fleet_.size());
        for (std::size_t i = static_cast<std::size_t>(first); i < fleet_.size(); ++i) fleet_.sendText(i, "hello");
        return true;
    }
    std::size_t size() const { return fleet_.size(); }
    void resetCounts() {
        for (auto& tally : tallies_) tally.received = 0;
        nextShort_ = 0;
    }
    // Waits until every client has `target` messages; false on timeout.
    bool waitForAll(int target, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!allHave(target)) {
            if (Clock::now() > deadline) return false;
            fleet_.poll(10ms);
        }
        return true;
    }
    void drain(std::chrono::milliseconds period) { fleet_.pollFor(period); }
    Clock::time_point lastAt(std::size_t client) const { return tallies_[client].lastAt; }
    const std::string& firstClientMessage() const { return firstClientMessage_; }

private:
    struct Tally {
        int received = 0;
        Clock::time_point lastAt;
    };

    // Counting all clients on every wakeup would dominate with 10 000 of
    // them: resume from the first one found short last time.
    bool allHave(int target) {
        for (; nextShort_ < tallies_.size(); ++nextShort_)
            if (tallies_[nextShort_].received < target) return false;
        return true;
    }

    ClientFleet fleet_;
    std::vector<Tally> tallies_;
    std::size_t nextShort_ = 0;
    std::string firstClientMessage_;
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
    long memoryKb = -1;  // resident, once the series is done
    bool mqtt = false;
    std::vector<double> mqttMs;  // to the MQTT subscriber
    int mqttLost = 0;
};

// The machine's load average over the last minute, as the kernel gives it.
std::string loadAverage() {
    FILE* file = fopen("/proc/loadavg", "r");
    char text[32] = "-1";
    if (file) {
        if (fscanf(file, "%31s", text) != 1) snprintf(text, sizeof text, "-1");
        fclose(file);
    }
    return text;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Warms the subscribers up: scans until every one has received one.
bool warmUp(PlayedScanner& scanner, Subscribers& subscribers) {
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

// Latency counts from the moment the scan's last byte reaches the port: a
// bridge cannot know that a scan has ended before then.
Series measure(PlayedScanner& scanner, Subscribers& subscribers, pid_t bridge, int size, int scans,
               const Pacing& pacing, MqttWatcher* mqtt) {
    Series series;
    series.mqtt = mqtt != nullptr;
    series.subscribers = static_cast<int>(subscribers.size());
    series.size = size;
    series.scans = scans;
    const double cpuBefore = cpuSeconds(bridge);
    for (int i = 0; i < scans; ++i) {
        subscribers.resetCounts();
        const int mqttBefore = mqtt ? mqtt->received() : 0;
        const std::string scan = scanOfSize(size, i);
        scanner.type(scan, pacing);
        const auto start = Clock::now();
        if (!subscribers.waitForAll(1, 10s)) {
            ++series.lost;
            subscribers.drain(200ms);
            continue;
        }
        double first = 1e9, last = 0;
        for (std::size_t c = 0; c < subscribers.size(); ++c) {
            const double ms = msBetween(start, subscribers.lastAt(c));
            first = std::min(first, ms);
            last = std::max(last, ms);
            if (subscribers.size() <= 1000 || series.allMs.size() < 100000) series.allMs.push_back(ms);
        }
        series.firstMs.push_back(first);
        series.lastMs.push_back(last);
        if (subscribers.firstClientMessage() != expectedMessage(scan)) ++series.wrong;
        if (mqtt) {
            Clock::time_point at;
            if (mqtt->waitForCount(mqttBefore + 1, 2s, at)) series.mqttMs.push_back(msBetween(start, at));
            else ++series.mqttLost;
        }
        // A pause between scans, as between two people's scans, so that no
        // two bursts run together.
        std::this_thread::sleep_for(std::chrono::milliseconds(15 + i % 10));
        subscribers.drain(1ms);
    }
    series.cpuPerScan = (cpuSeconds(bridge) - cpuBefore) / scans;
    series.memoryKb = residentKb(bridge);
    return series;
}

void printSeries(const Series& s, bool comma) {
    printf("    {\"subscribers\": %d, \"size\": %d, \"scans\": %d, \"lost\": %d, \"wrong\": %d,\n"
           "     \"first_ms\": %s,\n     \"last_ms\": %s,\n     \"all_ms\": %s,\n",
           s.subscribers, s.size, s.scans, s.lost, s.wrong, distribution(s.firstMs).c_str(),
           distribution(s.lastMs).c_str(), distribution(s.allMs).c_str());
    if (s.mqtt) printf("     \"mqtt_ms\": %s, \"mqtt_lost\": %d,\n", distribution(s.mqttMs).c_str(), s.mqttLost);
    printf("     \"cpu_ms_per_scan\": %.4f, \"memory_kb\": %ld}%s\n", s.cpuPerScan * 1000, s.memoryKb,
           comma ? "," : "");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: tirn-bench --label NAME [--subscribers 1,100,1000] [--sizes 14,100,1000]\n"
                        "                  [--scans 300] [--hold 10000] [--idle-seconds 20] [--adapter MODEL]\n"
                        "                  [--floor SOCKETS] [--tls] [--mqtt] -- COMMAND...\n");
        return 2;
    }
    prepareForManyConnections();
    const std::string loadBefore = loadAverage();

    pid_t broker = -1;
    std::unique_ptr<MqttWatcher> mqtt;
    if (options.mqtt) {
        broker = startBridge({"mosquitto", "-p", std::to_string(kBrokerPort)});
        if (!waitForListener(kBrokerPort)) {
            fprintf(stderr, "tirn-bench: mosquitto did not start\n");
            return 1;
        }
        mqtt = std::make_unique<MqttWatcher>(kBrokerPort, kBrokerTopic);
        if (!mqtt->waitUntilSubscribed(5s)) {
            fprintf(stderr, "tirn-bench: could not subscribe to %s\n", kBrokerTopic);
            return 1;
        }
    }
    PlayedScanner scanner(options.keyboard);
    const pid_t bridge = startBridge(options.command);
    if (!scanner.pluggedIn() || !waitForListener()) {
        fprintf(stderr, "tirn-bench: %s did not start listening on port 9010\n", options.label.c_str());
        kill(bridge, SIGKILL);
        return 1;
    }
    std::this_thread::sleep_for(300ms);
    const long memoryIdle = residentKb(bridge);

    Subscribers subscribers(options.tls);
    std::vector<Series> results;
    double idleCpuPercent = -1;
    long memoryAtLargest = -1;
    for (int count : options.subscribers) {
        if (!subscribers.add(count - static_cast<int>(subscribers.size())) || !warmUp(scanner, subscribers)) {
            fprintf(stderr, "tirn-bench: could not subscribe %d clients\n", count);
            break;
        }
        fprintf(stderr, "%s: %d subscribers\n", options.label.c_str(), count);
        for (int size : options.sizes)
            results.push_back(measure(scanner, subscribers, bridge, size, options.scans, options.pacing, mqtt.get()));
        if (count == options.subscribers.back() && options.idleSeconds > 0) {
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
        held = measure(scanner, subscribers, bridge, 14, 20, options.pacing, mqtt.get());
    }
    kill(bridge, SIGKILL);
    waitpid(bridge, nullptr, 0);
    mqtt.reset();
    if (broker > 0) {
        kill(broker, SIGKILL);
        waitpid(broker, nullptr, 0);
    }

    if (options.floorSockets > 0) {
        // The WebSocket frame of a 14-byte scan: a text frame, its length, the message.
        const std::string message = expectedMessage(scanOfSize(14, 0));
        const std::string frame = std::string("\x81") + static_cast<char>(message.size()) + message;
        const auto floor = kernelFanOutFloor(options.floorSockets, frame);
        printf("{\"kernel_floor_ms\": {\"sockets\": %d, \"median\": %.3f, \"p99\": %.3f},\n",
               options.floorSockets, quantile(floor, 0.5), quantile(floor, 0.99));
    } else {
        printf("{\n");
    }
    // Without subscribers held, their count (0) would name the idle figure again.
    const std::string heldMemory =
        options.hold > 0 ? ", \"" + std::to_string(options.hold) + "\": " + std::to_string(memoryHeld) : "";
    // What else ran on the machine meanwhile shows in its load.
    printf(" \"load_average\": [%s, %s],\n", loadBefore.c_str(), loadAverage().c_str());
    printf(" \"bridge_output\": \"pipe\",\n");  // read as journald would (startBridge)
    printf(" \"label\": \"%s\",\n \"memory_kb\": {\"0\": %ld, \"%d\": %ld%s},\n"
           " \"idle_cpu_percent\": {\"subscribers\": %d, \"percent\": %.4f},\n \"series\": [\n",
           options.label.c_str(), memoryIdle, options.subscribers.back(), memoryAtLargest, heldMemory.c_str(),
           options.subscribers.back(), idleCpuPercent);
    for (std::size_t i = 0; i < results.size(); ++i) printSeries(results[i], true);
    printSeries(held, false);
    printf(" ]}\n");
    return 0;
}
