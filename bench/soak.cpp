// tirn-soak: clients come and go while scans flow. Each client connects at a
// random moment, subscribes one to three times, stays a random while and
// closes; meanwhile the scanner sends ten scans a second. Every client must
// receive every scan made while it was subscribed exactly once per
// subscription, in order; the bridge's descriptors and memory must return to
// where they started. Run it inside scripts/sandbox.
//
// usage: tirn-soak [--seconds 60] [--clients 1000] [--rate 10] [--max-stay-ms 10000]
//                  [--seed N] [--memory-allowance-kb N] -- COMMAND [ARGS...]
// At the end the scanner is unplugged: TirnSerial must then end with status 0.
#include "bridge_process.h"
#include "client_fleet.h"
#include "virtual_scanner.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    double seconds = 60;
    int clients = 1000;
    double rate = 10;
    int maxStayMs = 10000;
    unsigned seed = 1;
    long memoryAllowanceKb = -1;  // what the allocator may keep; -1: a quarter, at least 2 MB
    std::vector<std::string> command;
};

bool parse(int argc, char** argv, Options& options) {
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--seconds") options.seconds = atof(value);
        else if (arg == "--clients") options.clients = atoi(value);
        else if (arg == "--rate") options.rate = atof(value);
        else if (arg == "--max-stay-ms") options.maxStayMs = atoi(value);
        else if (arg == "--seed") options.seed = static_cast<unsigned>(atoi(value));
        else if (arg == "--memory-allowance-kb") options.memoryAllowanceKb = atol(value);
        else return false;
    }
    for (++i; i < argc; ++i) options.command.push_back(argv[i]);
    return !options.command.empty() && options.clients > 0 && options.rate > 0;
}

// One client's life: planned, then what happened.
struct Life {
    double connectAt = 0, closeAt = 0;  // seconds into the run
    int subscriptions = 1;
    long client = -1;           // index in the fleet once connected
    double subscribedAt = 0, closedAt = 0;
    std::vector<int> received;  // scan serial numbers, as they came
};

std::vector<Life> plan(const Options& options) {
    std::mt19937 random(options.seed);
    std::uniform_real_distribution<double> start(0, options.seconds * 0.9);
    std::uniform_real_distribution<double> stay(0.2, options.maxStayMs / 1000.0);
    std::uniform_int_distribution<int> subscriptions(1, 3);
    std::vector<Life> lives;
    for (int i = 0; i < options.clients; ++i) {
        const double at = start(random);
        Life life;
        life.connectAt = at;
        life.closeAt = std::min(at + stay(random), options.seconds);
        life.subscriptions = subscriptions(random);
        lives.push_back(life);
    }
    std::sort(lives.begin(), lives.end(), [](const Life& a, const Life& b) { return a.connectAt < b.connectAt; });
    return lives;
}

int serialIn(std::string_view message) {
    const auto at = message.find("SOAK-");
    return at == std::string_view::npos ? -1 : atoi(std::string(message.substr(at + 5, 7)).c_str());
}

// A scan whose publication may overlap a subscription or a close counts
// either way; all others must arrive exactly once per subscription.
constexpr double kGrace = 0.2;

struct Verdict {
    long expectedFrames = 0, receivedFrames = 0, violations = 0;
    std::string firstViolation;
};

void judge(const Life& life, const std::vector<double>& scanTimes, Verdict& verdict) {
    auto complain = [&](const std::string& what) {
        if (verdict.violations++ == 0) verdict.firstViolation = what;
    };
    std::vector<int> copies(scanTimes.size(), 0);
    int previous = -1;
    for (int serial : life.received) {
        if (serial < 0 || serial >= static_cast<int>(scanTimes.size())) {
            complain("a message that was never scanned");
            continue;
        }
        if (serial < previous) complain("scans out of order");
        previous = serial;
        ++copies[serial];
        ++verdict.receivedFrames;
    }
    for (std::size_t n = 0; n < scanTimes.size(); ++n) {
        const double at = scanTimes[n];
        const bool surelyIn = at >= life.subscribedAt + kGrace && at + kGrace <= life.closedAt;
        const bool surelyOut = at + kGrace < life.subscribedAt || at > life.closedAt;
        if (surelyIn) {
            verdict.expectedFrames += life.subscriptions;
            if (copies[n] != life.subscriptions)
                complain("scan " + std::to_string(n) + " arrived " + std::to_string(copies[n]) +
                         " times to a client subscribed " + std::to_string(life.subscriptions) + " times");
        } else if ((surelyOut && copies[n] != 0) || copies[n] > life.subscriptions) {
            complain("scan " + std::to_string(n) + " arrived " + std::to_string(copies[n]) +
                     " times outside a subscription");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: tirn-soak [--seconds 60] [--clients 1000] [--rate 10] [--max-stay-ms 10000]\n"
                        "                 [--seed N] [--memory-allowance-kb N] -- COMMAND [ARGS...]\n");
        return 2;
    }
    prepareForManyConnections();

    VirtualScanner scanner;
    const pid_t bridge = startBridge(options.command);
    if (!scanner.pluggedIn() || !waitForListener()) {
        fprintf(stderr, "tirn-soak: the bridge did not start listening on port 9010\n");
        kill(bridge, SIGKILL);
        return 1;
    }

    std::vector<Life> lives = plan(options);
    std::vector<long> lifeOfClient;
    ClientFleet fleet([&](std::size_t client, std::string_view payload, Clock::time_point) {
        if (client < lifeOfClient.size() && lifeOfClient[client] >= 0)
            lives[static_cast<std::size_t>(lifeOfClient[client])].received.push_back(serialIn(payload));
    });

    // Once round the whole path before the starting levels are taken.
    lifeOfClient.push_back(-1);
    fleet.connect(1);
    fleet.sendText(0, "warm-up");
    fleet.pollFor(200ms);
    scanner.type("WARMUP\r");
    fleet.pollFor(300ms);
    fleet.close(0);
    fleet.pollFor(500ms);
    const int descriptorsBefore = openDescriptors(bridge);
    const long memoryBefore = residentKb(bridge);
    long memoryPeak = memoryBefore;

    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    std::vector<double> scanTimes;
    std::size_t nextToConnect = 0;
    int peakConnected = 0, connected = 0;
    for (double now = elapsed(); now < options.seconds + 1.0; now = elapsed()) {
        if (now < options.seconds && now >= scanTimes.size() / options.rate) {
            char scan[32];
            snprintf(scan, sizeof scan, "SOAK-%07zu\r", scanTimes.size());
            scanTimes.push_back(elapsed());
            scanner.type(scan);
        }
        for (; nextToConnect < lives.size() && lives[nextToConnect].connectAt <= now; ++nextToConnect) {
            Life& life = lives[nextToConnect];
            life.client = fleet.connect(1);
            if (life.client < 0) {
                fprintf(stderr, "tirn-soak: a client could not connect\n");
                return 1;
            }
            lifeOfClient.resize(fleet.size(), -1);
            lifeOfClient[static_cast<std::size_t>(life.client)] = static_cast<long>(nextToConnect);
            for (int s = 0; s < life.subscriptions; ++s) fleet.sendText(static_cast<std::size_t>(life.client), "hello");
            life.subscribedAt = elapsed();
            peakConnected = std::max(peakConnected, ++connected);
        }
        for (std::size_t i = 0; i < nextToConnect; ++i) {
            Life& life = lives[i];
            if (life.closedAt == 0 && (life.closeAt <= now || now >= options.seconds)) {
                life.closedAt = elapsed();
                fleet.close(static_cast<std::size_t>(life.client));
                --connected;
            }
        }
        if (scanTimes.size() % 50 == 0) memoryPeak = std::max(memoryPeak, residentKb(bridge));
        fleet.poll(2ms);
    }
    fleet.pollFor(1s);

    // Back where it started: wait a little for the last closes to be handled.
    int descriptorsAfter = openDescriptors(bridge);
    for (int i = 0; i < 50 && descriptorsAfter > descriptorsBefore; ++i) {
        std::this_thread::sleep_for(100ms);
        descriptorsAfter = openDescriptors(bridge);
    }
    const long memoryAfter = residentKb(bridge);
    int status = 0;
    const bool alive = waitpid(bridge, &status, WNOHANG) == 0;

    // Unplugged, the service ends by itself: with the leak checker built in,
    // that is when it reports.
    scanner.unplug();
    int exitStatus = -1;
    for (int i = 0; alive && i < 200 && exitStatus < 0; ++i) {
        if (waitpid(bridge, &status, WNOHANG) == bridge)
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else
            std::this_thread::sleep_for(50ms);
    }
    if (exitStatus < 0) {
        kill(bridge, SIGKILL);
        waitpid(bridge, nullptr, 0);
    }

    Verdict verdict;
    for (const Life& life : lives) judge(life, scanTimes, verdict);
    // The allocator may keep some freed memory; more than this would be a leak.
    const long memoryAllowance =
        options.memoryAllowanceKb >= 0 ? options.memoryAllowanceKb : std::max(2048L, memoryBefore / 4);
    const bool resourcesBack = descriptorsAfter <= descriptorsBefore && memoryAfter <= memoryBefore + memoryAllowance;

    printf("{\"clients\": %d, \"peak_connected\": %d, \"scans\": %zu, \"seconds\": %.0f,\n"
           " \"frames_expected\": %ld, \"frames_received\": %ld, \"violations\": %ld,\n"
           " \"descriptors\": {\"before\": %d, \"after\": %d},\n"
           " \"resident_kb\": {\"before\": %ld, \"peak\": %ld, \"after\": %ld},\n"
           " \"bridge_alive\": %s, \"exit_status_after_unplug\": %d}\n",
           options.clients, peakConnected, scanTimes.size(), options.seconds, verdict.expectedFrames,
           verdict.receivedFrames, verdict.violations, descriptorsBefore, descriptorsAfter, memoryBefore,
           memoryPeak, memoryAfter, alive ? "true" : "false", exitStatus);
    if (verdict.violations) fprintf(stderr, "tirn-soak: first violation: %s\n", verdict.firstViolation.c_str());
    if (!resourcesBack) fprintf(stderr, "tirn-soak: descriptors or memory did not return to their starting level\n");
    if (!alive) fprintf(stderr, "tirn-soak: the bridge died\n");
    if (exitStatus != 0) fprintf(stderr, "tirn-soak: after the unplug the bridge ended with %d\n", exitStatus);
    const bool passed =
        verdict.violations == 0 && resourcesBack && alive && exitStatus == 0 && verdict.expectedFrames > 0;
    printf("%d passed, %d failed\n", passed ? 1 : 0, passed ? 0 : 1);
    return passed ? 0 : 1;
}
