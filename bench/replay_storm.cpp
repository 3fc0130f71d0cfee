#include "replay_storm.h"

#include "bridge_process.h"
#include "client_fleet.h"
#include "event_stream_readers.h"
#include "virtual_scanner.h"

#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Live scans are typed this far apart, in every run alike.
constexpr auto kLivePace = 15ms;
constexpr long kMostLiveScans = 100000;

struct Run {
    std::vector<double> latencyMs;
    long peakKb = 0;
    long replayed = 0;
};

// The calling thread's scheduling policy. The clients of a storm are other
// machines' browsers: here they share the service's two cores, so they read
// only when nothing else wants a core (SCHED_IDLE: a nice value alone lets a
// reader keep its core for a whole time slice after the service's threads
// wake, which is not what a client on another machine costs), and what is
// measured (typing, the plain clients) runs at the normal policy.
void schedulePolicy(int policy) {
    const sched_param none{};
    sched_setscheduler(static_cast<pid_t>(syscall(SYS_gettid)), policy, &none);
}

// The serial of a live scan ("L%08ld"), or -1 for any other message.
long liveSerial(std::string_view payload) {
    const std::string_view key = "\"Data\":\t\"L";
    const auto at = payload.find(key);
    return at == std::string_view::npos ? -1 : atol(std::string(payload.substr(at + key.size(), 8)).c_str());
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// The machine's load average over the last minute.
double loadAverage() {
    double load = -1;
    if (FILE* file = fopen("/proc/loadavg", "r")) {
        if (fscanf(file, "%lf", &load) != 1) load = -1;
        fclose(file);
    }
    return load;
}

class StormBench {
public:
    StormBench(const StormOptions& options, pid_t bridge)
        : options_(options), bridge_(bridge), typedAt_(kMostLiveScans),
          plainFleet_([this](std::size_t, std::string_view payload, Clock::time_point at) {
              arrivals_.emplace_back(liveSerial(payload), at);
              ++arrived_;
          }),
          stormFleet_([](std::size_t, std::string_view, Clock::time_point) {}) {}

    bool prepare(VirtualScanner& scanner);
    long depth() const { return depth_; }
    Run measure(VirtualScanner& scanner, bool storm);
    long residentNow() const { return residentKb(bridge_); }

private:
    // The plain clients on a thread of their own, so that reading the
    // storm's replays never delays when their live scans are seen.
    void readPlainUntil(const std::atomic<bool>& done) {
        schedulePolicy(SCHED_OTHER);
        while (!done) plainFleet_.poll(5ms);
    }
    void openStorm();
    void endStorm();
    void sampleMemory(Run& run) { run.peakKb = std::max(run.peakKb, residentKb(bridge_)); }

    const StormOptions& options_;
    const pid_t bridge_;
    long depth_ = 0;
    std::vector<Clock::time_point> typedAt_;
    long nextSerial_ = 0;
    std::vector<std::pair<long, Clock::time_point>> arrivals_;
    std::atomic<std::size_t> arrived_{0};
    ClientFleet plainFleet_;
    ClientFleet stormFleet_;
    std::vector<std::size_t> stormClients_;
    std::unique_ptr<EventStreamReaders> streams_;
};

// Fills the history to its depth, then subscribes the plain clients.
bool StormBench::prepare(VirtualScanner& scanner) {
    const long depth = depth_ = statusFigure("depth");
    char scan[32];
    for (long n = 0; n < depth; ++n) {
        snprintf(scan, sizeof scan, "H%08ld\r", n);
        scanner.type(scan, {Adapter::Line, {}});
    }
    for (auto deadline = Clock::now() + 30s; statusFigure("scans_relayed") < depth;)
        if (Clock::now() > deadline) return false;
        else std::this_thread::sleep_for(20ms);
    if (plainFleet_.connect(options_.plain, "/") < 0) return false;
    for (std::size_t i = 0; i < plainFleet_.size(); ++i) plainFleet_.sendText(i, "hello");
    for (auto deadline = Clock::now() + 10s; statusFigure("subscriptions") < options_.plain;)
        if (Clock::now() > deadline) return false;
        else plainFleet_.poll(20ms);
    return true;
}

Run StormBench::measure(VirtualScanner& scanner, bool storm) {
    Run run;
    arrivals_.clear();
    arrived_ = 0;
    std::atomic<bool> seen{false};
    std::thread plainReader([&] { readPlainUntil(seen); });
    const long firstSerial = nextSerial_;
    const long replayedBefore = statusFigure("scans_replayed");
    if (storm) openStorm();
    std::atomic<bool> typing{true};
    std::thread typist([&] {
        schedulePolicy(SCHED_OTHER);
        char scan[32];
        for (; typing && nextSerial_ < kMostLiveScans; ++nextSerial_) {
            snprintf(scan, sizeof scan, "L%08ld\r", nextSerial_);
            scanner.type(scan, {Adapter::Line, {}});
            typedAt_[static_cast<std::size_t>(nextSerial_)] = Clock::now();
            std::this_thread::sleep_for(kLivePace);
        }
    });
    auto nextSample = Clock::now();
    for (const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(options_.runSeconds));
         Clock::now() < until;) {
        stormFleet_.poll(5ms);
        if (Clock::now() >= nextSample) sampleMemory(run), nextSample += 100ms;
    }
    typing = false;
    typist.join();
    run.replayed = statusFigure("scans_replayed") - replayedBefore;
    const std::size_t expected = static_cast<std::size_t>((nextSerial_ - firstSerial) * options_.plain);
    for (auto deadline = Clock::now() + 10s; arrived_ < expected && Clock::now() < deadline;) stormFleet_.poll(5ms);
    seen = true;
    plainReader.join();
    for (const auto& [serial, at] : arrivals_)
        if (serial >= firstSerial && serial < nextSerial_)
            run.latencyMs.push_back(std::chrono::duration<double, std::milli>(at - typedAt_[static_cast<std::size_t>(serial)]).count());
    if (storm) endStorm();
    return run;
}

void StormBench::openStorm() {
    for (int i = 0; i < options_.clients; ++i) {
        const long client = stormFleet_.open("/?since=0", "hello", i % 2 == 0);
        if (client >= 0) stormClients_.push_back(static_cast<std::size_t>(client));
    }
    streams_ = std::make_unique<EventStreamReaders>(options_.streams, "/events?since=0");
    // Timed from when every replay is under way: a burst of connections
    // costs what it costs with or without replays.
    const long all = options_.clients + options_.streams;
    for (auto deadline = Clock::now() + 10s; statusFigure("numbered_clients") < all && Clock::now() < deadline;)
        stormFleet_.poll(5ms);
}

// Until the service has let go of every client of the storm.
void StormBench::endStorm() {
    for (const std::size_t client : stormClients_) stormFleet_.close(client);
    stormClients_.clear();
    streams_.reset();
    for (auto deadline = Clock::now() + 30s; statusFigure("numbered_clients") > 0 && Clock::now() < deadline;)
        stormFleet_.poll(20ms);
}

void printRun(const char* name, const Run& run, const char* after) {
    printf("   \"%s\": {\"scans\": %zu, \"median_ms\": %.3f, \"p99_ms\": %.3f, \"peak_rss_kb\": %ld, \"replayed\": %ld}%s\n",
           name, run.latencyMs.size(), median(run.latencyMs), percentile(run.latencyMs, 0.99), run.peakKb,
           run.replayed, after);
}

}  // namespace

int runReplayStorm(const StormOptions& options, const std::vector<std::string>& command) {
    VirtualScanner scanner;
    const pid_t bridge = startBridge(command);
    if (!scanner.pluggedIn() || !waitForListener()) {
        fprintf(stderr, "tirn-resume-bench: the bridge did not start listening on port 9010\n");
        kill(bridge, SIGKILL);
        return 1;
    }
    StormBench bench(options, bridge);
    if (!bench.prepare(scanner)) {
        fprintf(stderr, "tirn-resume-bench: the history did not fill, or the plain clients did not subscribe\n");
        kill(bridge, SIGKILL);
        return 1;
    }
    const long before = bench.residentNow();
    schedulePolicy(SCHED_IDLE);  // this thread reads the storm's clients, and their event streams inherit it
    std::vector<Run> quiet, storm;
    const double loadBefore = loadAverage();
    for (int round = 0; round < options.rounds; ++round) {
        quiet.push_back(bench.measure(scanner, false));
        storm.push_back(bench.measure(scanner, true));
    }
    kill(bridge, SIGTERM);
    waitpid(bridge, nullptr, 0);

    printf("{\"storm\": {\"clients\": %d, \"silent\": %d, \"streams\": %d, \"plain\": %d, \"history\": %ld,\n"
           " \"run_seconds\": %.1f, \"pace_ms\": %ld, \"rss_kb_before\": %ld, \"load_average\": [%.2f, %.2f],\n"
           " \"rounds\": [\n",
           options.clients, options.clients / 2, options.streams, options.plain, bench.depth(), options.runSeconds,
           static_cast<long>(kLivePace.count()), before, loadBefore, loadAverage());
    bool complete = true;
    for (std::size_t i = 0; i < quiet.size(); ++i) {
        printf("  {\n");
        printRun("quiet", quiet[i], ",");
        printRun("storm", storm[i], "");
        printf("  }%s\n", i + 1 < quiet.size() ? "," : "");
        complete = complete && !quiet[i].latencyMs.empty() && !storm[i].latencyMs.empty();
    }
    printf(" ]}}\n");
    return complete ? 0 : 1;
}
