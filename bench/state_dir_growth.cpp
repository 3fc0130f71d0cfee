// Measures what TirnSerial's state directory takes on disk while scans keep
// coming: the history (history.db) and the MQTT outbox (outbox.db), each
// with its write-ahead log. The scanner types groups of scans every 100 ms,
// so that both stores write many small transactions, as a busy till does;
// mosquitto on 127.0.0.1:18830 takes them. The sizes are sampled every
// `--every` scans. With --broker-away the broker is stopped (SIGSTOP)
// throughout, so that the outbox fills to its bound (--mqtt-queue). Run it
// inside scripts/sandbox. Prints one JSON object.
//
// usage: tirn-state-dir-growth [--scans 36000] [--every 2000] [--group 40] [--broker-away] --dir STATE --
//        COMMAND [ARGS...]
// The command publishes to mqtt://127.0.0.1:18830, keeps its state in
// STATE, and ends scans on CR (--end-on cr).
#include "bridge_process.h"
#include "virtual_scanner.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBrokerPort = 18830;
const char* const kFiles[] = {"history.db", "history.db-wal", "outbox.db", "outbox.db-wal"};

long long bytesOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

// Every file's length, and what the directory holds in all (blocks taken).
std::string sample(const std::string& dir, int scans, long long largest[]) {
    std::string json = "{\"scans\": " + std::to_string(scans);
    for (std::size_t i = 0; i < sizeof kFiles / sizeof *kFiles; ++i) {
        const long long bytes = bytesOf(dir + "/" + kFiles[i]);
        largest[i] = std::max(largest[i], bytes);
        json += ", \"" + std::string(kFiles[i]) + "\": " + std::to_string(bytes);
    }
    long long total = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        for (const char* file : {"/history.db", "/outbox.db"}) {
            struct stat info {};
            if (stat((dir + file + suffix).c_str(), &info) == 0) total += static_cast<long long>(info.st_blocks) * 512;
        }
    return json + ", \"directory\": " + std::to_string(total) + "}";
}

}  // namespace

int main(int argc, char** argv) {
    int scans = 36000, every = 2000, group = 40;
    std::string dir;
    bool brokerAway = false;
    std::vector<std::string> command;
    for (int i = 1; i < argc && command.empty(); ++i) {
        if (strcmp(argv[i], "--scans") == 0 && i + 1 < argc) scans = atoi(argv[++i]);
        else if (strcmp(argv[i], "--every") == 0 && i + 1 < argc) every = atoi(argv[++i]);
        else if (strcmp(argv[i], "--group") == 0 && i + 1 < argc) group = atoi(argv[++i]);
        else if (strcmp(argv[i], "--broker-away") == 0) brokerAway = true;
        else if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) dir = argv[++i];
        else if (strcmp(argv[i], "--") == 0) command.assign(argv + i + 1, argv + argc);
    }
    if (command.empty() || dir.empty() || scans <= 0 || every <= 0 || group <= 0) {
        fprintf(stderr, "usage: tirn-state-dir-growth [--scans 36000] [--every 2000] [--group 40] [--broker-away] "
                        "--dir STATE -- COMMAND [ARGS...]\n");
        return 2;
    }
    const pid_t broker = startBridge({"mosquitto", "-p", std::to_string(kBrokerPort)});
    if (!waitForListener(kBrokerPort)) return fprintf(stderr, "tirn-state-dir-growth: no mosquitto\n"), 1;
    if (brokerAway) kill(broker, SIGSTOP);
    VirtualScanner scanner;
    const pid_t bridge = startBridge(command);
    if (!scanner.pluggedIn() || !waitForListener()) return fprintf(stderr, "tirn-state-dir-growth: no bridge\n"), 1;

    long long largest[sizeof kFiles / sizeof *kFiles] = {};
    std::vector<std::string> samples{sample(dir, 0, largest)};
    const auto start = Clock::now();
    auto next = start;
    for (int sent = 0; sent < scans;) {
        std::string burst;
        for (int i = 0; i < group && sent < scans; ++i, ++sent)
            burst += "STATE" + std::to_string(1000000 + sent) + "\r";
        scanner.type(burst, {Adapter::Line, {}});
        next += 100ms;
        std::this_thread::sleep_until(next);
        if (sent % every == 0 || sent == scans) samples.push_back(sample(dir, sent, largest));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto deadline = Clock::now() + 60s;
         !brokerAway && statusFigure("published") < scans && Clock::now() < deadline;)
        std::this_thread::sleep_for(100ms);
    const long published = statusFigure("published");
    kill(bridge, SIGTERM);
    waitpid(bridge, nullptr, 0);
    samples.push_back(sample(dir, -1, largest));  // -1: after the stop
    kill(broker, SIGKILL);
    waitpid(broker, nullptr, 0);

    printf("{\"scans\": %d, \"broker_away\": %s, \"seconds\": %.1f, \"published\": %ld,\n \"largest\": {", scans,
           brokerAway ? "true" : "false", seconds, published);
    for (std::size_t i = 0; i < sizeof kFiles / sizeof *kFiles; ++i)
        printf("%s\"%s\": %lld", i ? ", " : "", kFiles[i], largest[i]);
    printf("},\n \"samples\": [\n");
    for (std::size_t i = 0; i < samples.size(); ++i)
        printf("  %s%s\n", samples[i].c_str(), i + 1 < samples.size() ? "," : "");
    printf(" ]}\n");
    return brokerAway || published >= scans ? 0 : 1;
}
