// tirn-resume-bench: clients that keep coming back. While the scanner types
// scans back to back at the line rate, each client closes and reconnects
// with ?since= the last number it saw, every --every-ms; a resumed client
// must have every scan made since it first connected exactly once, in order,
// however often it came back. Reports scans missed and scans had twice (both
// must be 0) and the scans the service replayed per second. Run it inside
// scripts/sandbox.
//
// usage: tirn-resume-bench [--seconds 60] [--clients 100] [--every-ms 100] -- COMMAND [ARGS...]
// The command ends scans on CR (--end-on cr).
//
// With --storm [--rounds 3] [--clients 200]: the replay storm instead
// (replay_storm.h): a command with a deep --history, and clients that ask
// for all of it at once while live scans are timed to plain subscribers.
#include "bridge_process.h"
#include "client_fleet.h"
#include "replay_storm.h"
#include "virtual_scanner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    double seconds = 60;
    int clients = 100;
    int everyMs = 100;
    bool storm = false;
    int rounds = 3;
    std::vector<std::string> command;
};

bool parse(int argc, char** argv, Options& options) {
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        if (arg == "--storm") {
            options.storm = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--seconds") options.seconds = atof(value);
        else if (arg == "--clients") options.clients = atoi(value);
        else if (arg == "--every-ms") options.everyMs = atoi(value);
        else if (arg == "--rounds") options.rounds = atoi(value);
        else return false;
    }
    for (++i; i < argc; ++i) options.command.push_back(argv[i]);
    return !options.command.empty() && options.clients > 0 && options.everyMs > 0;
}

// A member of a numbered scan message, or -1.
long long member(std::string_view message, std::string_view name, std::string_view prefix = {}) {
    const std::string key = "\"" + std::string(name) + "\":\t" + std::string(prefix);
    const auto at = message.find(key);
    return at == std::string_view::npos ? -1 : atoll(std::string(message.substr(at + key.size(), 24)).c_str());
}

// One client across its connections.
struct Reader {
    long long lastSeq = 0;      // 0: none seen yet
    std::vector<long> serials;  // the scans' own numbers, as they came
    long connection = -1;       // its current index in the fleet
    Clock::time_point nextReconnect;
    int reconnects = 0;
    int refused = 0;
};

struct Tally {
    long missed = 0, twice = 0, outOfOrder = 0, received = 0;
};

// From its first scan to the last typed, every one exactly once.
void judge(const Reader& reader, long lastTyped, Tally& tally) {
    if (reader.serials.empty()) return;
    const long first = reader.serials.front();
    std::vector<int> copies(static_cast<std::size_t>(lastTyped + 1), 0);
    long previous = -1;
    for (long serial : reader.serials) {
        if (serial < 0 || serial > lastTyped) continue;
        tally.outOfOrder += serial < previous;
        previous = serial;
        ++copies[static_cast<std::size_t>(serial)];
        ++tally.received;
    }
    for (long n = first; n <= lastTyped; ++n) {
        tally.missed += copies[static_cast<std::size_t>(n)] == 0;
        tally.twice += std::max(0, copies[static_cast<std::size_t>(n)] - 1);
    }
}

std::string sinceTarget(const Reader& reader) {
    return reader.lastSeq == 0 ? "/?since=now" : "/?since=" + std::to_string(reader.lastSeq);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: tirn-resume-bench [--seconds 60] [--clients 100] [--every-ms 100] -- COMMAND [ARGS...]\n"
                        "       tirn-resume-bench --storm [--rounds 3] [--clients 200] -- COMMAND [ARGS...]\n");
        return 2;
    }
    prepareForManyConnections();
    if (options.storm) {
        StormOptions storm;
        storm.rounds = options.rounds;
        if (options.clients != Options{}.clients) storm.clients = options.clients;
        return runReplayStorm(storm, options.command);
    }
    VirtualScanner scanner;
    const pid_t bridge = startBridge(options.command);
    if (!scanner.pluggedIn() || !waitForListener()) {
        fprintf(stderr, "tirn-resume-bench: the bridge did not start listening on port 9010\n");
        kill(bridge, SIGKILL);
        return 1;
    }

    std::vector<Reader> readers(static_cast<std::size_t>(options.clients));
    std::vector<long> readerOf;
    ClientFleet fleet([&](std::size_t client, std::string_view payload, Clock::time_point) {
        if (client >= readerOf.size() || readerOf[client] < 0) return;
        Reader& reader = readers[static_cast<std::size_t>(readerOf[client])];
        const long long seq = member(payload, "seq");
        if (seq < 0) return;  // a notice, not a scan
        reader.lastSeq = std::max(reader.lastSeq, seq);
        reader.serials.push_back(static_cast<long>(member(payload, "Data", "\"R")));
    });
    // Without waiting for the handshake, as a page that reloads does: the
    // reconnections keep their pace however busy the service is.
    auto connectReader = [&](std::size_t index) {
        Reader& reader = readers[index];
        const long client = fleet.open(sinceTarget(reader), "hello");
        if (client < 0) {
            ++reader.refused;
            return;
        }
        readerOf.resize(fleet.size(), -1);
        readerOf[static_cast<std::size_t>(client)] = static_cast<long>(index);
        reader.connection = client;
    };
    const auto start = Clock::now();
    for (std::size_t i = 0; i < readers.size(); ++i) {
        connectReader(i);
        // Spread over the period, so that reconnections do not come in waves.
        readers[i].nextReconnect = start + std::chrono::milliseconds(options.everyMs * (long)i / options.clients);
    }
    // Before typing, every reader's subscription has taken effect.
    fleet.pollFor(500ms);

    std::atomic<bool> typing{true};
    std::atomic<long> typed{0};
    std::thread typist([&] {
        char scan[32];
        for (long n = 0; typing; ++n) {
            snprintf(scan, sizeof scan, "R%08ld\r", n);
            scanner.type(scan, {Adapter::Line, {}});
            typed = n + 1;
        }
    });
    const long replayedBefore = statusFigure("scans_replayed");
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.seconds));
    const auto period = std::chrono::milliseconds(options.everyMs);
    while (Clock::now() < until) {
        for (std::size_t i = 0; i < readers.size(); ++i) {
            Reader& reader = readers[i];
            if (Clock::now() < reader.nextReconnect) continue;
            if (reader.connection >= 0) fleet.close(static_cast<std::size_t>(reader.connection));
            reader.connection = -1;
            connectReader(i);
            ++reader.reconnects;
            reader.nextReconnect += period;
        }
        fleet.poll(1ms);
    }
    typing = false;
    typist.join();
    const long lastTyped = typed - 1;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long replayed = statusFigure("scans_replayed") - replayedBefore;
    // Every reader has the last scan, or has stopped getting any.
    for (auto deadline = Clock::now() + 20s; Clock::now() < deadline;) {
        const bool all = std::all_of(readers.begin(), readers.end(), [&](const Reader& r) {
            return !r.serials.empty() && r.serials.back() == lastTyped;
        });
        if (all) break;
        fleet.poll(10ms);
    }
    kill(bridge, SIGTERM);
    waitpid(bridge, nullptr, 0);

    Tally tally;
    int reconnects = 0, refused = 0;
    for (const Reader& reader : readers) {
        judge(reader, lastTyped, tally);
        reconnects += reader.reconnects;
        refused += reader.refused;
    }
    refused += static_cast<int>(fleet.refusedHandshakes());
    printf("{\"clients\": %d, \"every_ms\": %d, \"seconds\": %.1f, \"scans\": %ld, \"reconnects\": %d,\n"
           " \"refused\": %d, \"received\": %ld, \"missed\": %ld, \"twice\": %ld, \"out_of_order\": %ld,\n"
           " \"replayed\": %ld, \"replayed_per_s\": %.0f}\n",
           options.clients, options.everyMs, seconds, lastTyped + 1, reconnects, refused, tally.received,
           tally.missed, tally.twice, tally.outOfOrder, replayed, replayed / seconds);
    return tally.missed == 0 && tally.twice == 0 && tally.outOfOrder == 0 && refused == 0 ? 0 : 1;
}
