// Measures the MQTT outbox of TirnSerial: a backlog of scans stored while
// the broker does not answer, then delivered once it does. The broker
// (mosquitto on 127.0.0.1:18830) is started and then stopped with SIGSTOP,
// so that its subscriber here stays subscribed and the bridge's connection
// waits unanswered; SIGCONT brings it back. Run it inside scripts/sandbox.
// Prints one JSON object.
//
// usage: tirn-outbox-drain [--scans 2000] -- COMMAND [ARGS...]
// The command publishes to mqtt://127.0.0.1:18830, topic tirn-bench/scan,
// and ends scans on CR (--end-on cr): the scanner sends them back to back at
// the line rate.
#include "bridge_process.h"
#include "mqtt_watcher.h"
#include "virtual_scanner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

template <class Condition>
bool waitFor(Condition condition, std::chrono::seconds timeout) {
    for (const auto deadline = Clock::now() + timeout; !condition(); std::this_thread::sleep_for(10ms))
        if (Clock::now() > deadline) return false;
    return true;
}

std::string scanText(int serial) { return "OUTBOX" + std::to_string(1000000 + serial); }

}  // namespace

int main(int argc, char** argv) {
    int scans = 2000;
    std::vector<std::string> command;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--scans") == 0 && i + 1 < argc) scans = atoi(argv[++i]);
        else if (strcmp(argv[i], "--") == 0) command.assign(argv + i + 1, argv + argc);
        if (!command.empty()) break;
    }
    if (command.empty() || scans <= 0) {
        fprintf(stderr, "usage: tirn-outbox-drain [--scans 2000] -- COMMAND [ARGS...]\n");
        return 2;
    }
    const pid_t broker = startBridge({"mosquitto", "-p", std::to_string(kBrokerPort)});
    if (!waitForListener(kBrokerPort)) return fprintf(stderr, "tirn-outbox-drain: no mosquitto\n"), 1;
    MqttWatcher watcher(kBrokerPort, "tirn-bench/scan");
    if (!watcher.waitUntilSubscribed(5s)) return fprintf(stderr, "tirn-outbox-drain: not subscribed\n"), 1;
    kill(broker, SIGSTOP);

    VirtualScanner scanner;
    const pid_t bridge = startBridge(command);
    if (!scanner.pluggedIn() || !waitForListener()) return fprintf(stderr, "tirn-outbox-drain: no bridge\n"), 1;
    std::string burst;
    for (int i = 0; i < scans; ++i) burst += scanText(i) + "\r";
    const double cpuStart = cpuSeconds(bridge);
    const auto typed = Clock::now();
    scanner.type(burst, {Adapter::Line, {}});
    const bool stored = waitFor([scans] { return statusFigure("stored") >= scans; }, 120s);
    const double storeSeconds = std::chrono::duration<double>(Clock::now() - typed).count();
    const double cpuStored = cpuSeconds(bridge);

    const auto back = Clock::now();
    kill(broker, SIGCONT);
    Clock::time_point last;
    const bool delivered = watcher.waitForCount(scans, 300s, last);
    const double cpuDelivered = cpuSeconds(bridge);
    int inOrder = 0;
    const auto payloads = watcher.payloads();
    for (std::size_t i = 0; i < payloads.size(); ++i)
        inOrder += payloads[i].find("\"" + scanText(static_cast<int>(i)) + "\\r\"") != std::string::npos;
    kill(bridge, SIGTERM);
    waitpid(bridge, nullptr, 0);
    kill(broker, SIGKILL);
    waitpid(broker, nullptr, 0);

    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    printf("{\"scans\": %d, \"stored\": %s, \"delivered\": %zu, \"in_order\": %d,\n"
           " \"typing_and_storing_s\": %.3f, \"cpu_ms_per_scan_stored\": %.4f,\n"
           " \"first_delivery_ms\": %.1f, \"drain_ms\": %.1f, \"cpu_ms_per_scan_delivered\": %.4f}\n",
           scans, stored ? "true" : "false", payloads.size(), inOrder, storeSeconds,
           1000 * (cpuStored - cpuStart) / scans, delivered ? ms(watcher.firstAt() - back) : -1.0,
           delivered ? ms(last - watcher.firstAt()) : -1.0, 1000 * (cpuDelivered - cpuStored) / scans);
    return delivered && inOrder == scans ? 0 : 1;
}
