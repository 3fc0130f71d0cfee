// The service doing its whole job under the limits of its systemd unit: no
// capabilities, no new privileges, and no system call outside the unit's
// filter (systemd itself is not running here, so the limits are applied
// piece by piece).
#include "http_reply.h"
#include "keyboard_records.h"
#include "service_test.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kNoPrivileges = {"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all",
                                                "--no-new-privs", "--"};

// A line of /proc/PID/status, such as "CapEff:\t0000000000000000".
std::string statusLine(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0) return line;
    return "";
}

// The calls a filter entry stands for, groups expanded as systemd does.
void expandFilterEntry(const std::string& entry, std::set<std::string>& calls) {
    if (entry[0] != '@') {
        calls.insert(entry);
        return;
    }
    std::istringstream listing(commandOutput("systemd-analyze syscall-filter " + entry));
    std::string line;
    std::getline(listing, line);  // the group's own name
    while (listing >> line) {
        if (line[0] == '#') {
            std::getline(listing, line);  // a comment
            continue;
        }
        expandFilterEntry(line, calls);
    }
}

// Every call the unit's SystemCallFilter= lines allow.
std::set<std::string> unitFilter() {
    std::set<std::string> calls;
    std::ifstream unit(std::string(kSourceDir) + "/packaging/tirnserial@.service");
    for (std::string line; std::getline(unit, line);) {
        if (line.rfind("SystemCallFilter=", 0) != 0 || line.find('~') != std::string::npos) continue;
        std::istringstream entries(line.substr(17));
        for (std::string entry; entries >> entry;) expandFilterEntry(entry, calls);
    }
    return calls;
}

// The names of the calls in an strace -f log.
std::set<std::string> tracedCalls(const std::string& log) {
    static const std::regex call(R"(^\d+\s+([a-z0-9_]+)\()");
    std::set<std::string> calls;
    std::ifstream trace(log);
    std::smatch match;
    for (std::string line; std::getline(trace, line);)
        if (std::regex_search(line, match, call)) calls.insert(match[1]);
    return calls;
}

class Confinement : public ServiceTest {
protected:
    // Start-up with its single-instance check, a subscriber, a scan, the
    // status page, and the exit when the adapter goes away; the service
    // (under setpriv, and strace if any) is checked to hold no capability
    // and to gain none. In mode 2 a keyboard scanner is read beside the
    // serial one, and goes first.
    void doWholeJob(const char* mode, std::vector<std::string> wrapper) {
        ServiceOptions options;
        options.wrapper = std::move(wrapper);
        const bool twoScanners = std::string(mode) == "2";
        VirtualKeyboardScanner keyboard("/dev/input/by-id/confined-event-kbd");
        startService(twoScanners ? std::vector<std::string>{mode, "--device", "/dev/ttyUSB0", "--device",
                                                            "keyboard:/dev/input/by-id/confined-event-kbd"}
                                 : std::vector<std::string>{mode},
                     options);
        ASSERT_NE(service_->out().find("程序打开成功!"), std::string::npos) << service_->out();
        pid_t confined = service_->pid();  // or strace's child
        const std::string task = "/proc/" + std::to_string(confined) + "/task/" + std::to_string(confined);
        if (options.wrapper.size() > kNoPrivileges.size()) std::ifstream(task + "/children") >> confined;
        EXPECT_EQ(statusLine(confined, "CapEff"), "CapEff:\t0000000000000000");
        EXPECT_EQ(statusLine(confined, "CapPrm"), "CapPrm:\t0000000000000000");
        EXPECT_EQ(statusLine(confined, "NoNewPrivs"), "NoNewPrivs:\t1");
        auto client = subscriber();
        ASSERT_TRUE(client);
        expectScanReaches(*client, "CONFINED-" + std::string(mode));
        EXPECT_EQ(request("GET", "/status").status, 200);
        keyboard.unplug();
        EXPECT_TRUE(!twoScanners || service_->waitForOutput("is gone; the others go on"));
        unplugAndExpectCleanExit();
    }
};

// The whole job without capabilities or new privileges, and every system
// call in the unit's filter: the shipped binary's (a sanitizer's runtime
// makes calls of its own, and under an emulator strace sees the emulator's).
TEST_F(Confinement, WholeJobWithinTheUnitsLimits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool traced = false;
#else
    const bool traced = kEmulator[0] == '\0';
#endif
    const std::set<std::string> allowed = traced ? unitFilter() : std::set<std::string>{};
    ASSERT_TRUE(!traced || allowed.size() > 300u) << "the unit's filter did not expand";
    for (const char* mode : {"0", "1", "2"}) {
        const std::string log = "/tmp/trace-" + std::string(mode);
        std::vector<std::string> wrapper = kNoPrivileges;
        if (traced) wrapper.insert(wrapper.end(), {"/usr/bin/strace", "-f", "-qq", "-o", log, "--"});
        doWholeJob(mode, wrapper);
        if (!traced) continue;
        const std::set<std::string> calls = tracedCalls(log);
        EXPECT_GT(calls.size(), 20u) << "nothing traced in " << log;
        for (const auto& name : calls) EXPECT_TRUE(allowed.count(name)) << "mode " << mode << " calls " << name;
    }
}

}  // namespace
