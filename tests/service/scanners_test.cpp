// Keyboard-mode scanners and several scanners at once, through the real
// binary. No /dev/uinput here: a FIFO stands in for the input device (the
// grab is refused on it, as on a device another program holds), and
// closing and removing it is unplugging.
#include "http_reply.h"
#include "keyboard_records.h"
#include "service_test.h"
#include "virtual_scanner.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kKeyboard = "/dev/input/by-id/usb-Scanner-event-kbd";

// The "devices" member of /status, by index: "kind path connected scans".
std::string scannerFigures(int index) {
    const HttpReply status = request("GET", "/status");
    const std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(status.body.c_str()), cJSON_Delete);
    const cJSON* device = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "devices"), index);
    if (device == nullptr) return "none";
    return std::string(cJSON_GetStringValue(cJSON_GetObjectItem(device, "kind"))) + " " +
           cJSON_GetStringValue(cJSON_GetObjectItem(device, "path")) + " " +
           (cJSON_IsTrue(cJSON_GetObjectItem(device, "connected")) ? "connected " : "gone ") +
           std::to_string(static_cast<int>(cJSON_GetObjectItem(device, "scans")->valuedouble));
}

// Whether every thread of the process is stopped (by SIGSTOP).
bool allThreadsStopped(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto state = line.rfind(") ");
        if (state == std::string::npos || (line[state + 2] != 't' && line[state + 2] != 'T')) return false;
    }
    return true;
}

class Scanners : public ServiceTest {
protected:
    // The figures of the scanner at `index` once they are `expected`: a
    // scan is counted just after its subscribers have it.
    void expectFigures(int index, const std::string& expected) {
        EXPECT_TRUE(eventually([&] { return scannerFigures(index) == expected; })) << scannerFigures(index);
    }
    void expectScan(const std::string& data, std::size_t size) { expectNextMessage(*client_, scanMessage(data, size)); }
    std::unique_ptr<WsClient> client_;
};

// A keyboard scanner alone, its kind told by its path: the grab refused
// with a warning, US text with its Enter, a character beyond the layout
// typed as an Alt code; a device that never pauses has its scans cut at
// 4 KiB whatever the keys (keypad digits, Alt codes); the service ends
// when it goes.
TEST_F(Scanners, KeyboardScannerAlone) {
    VirtualKeyboardScanner keyboard(kKeyboard);
    startService({"0", "--device", kKeyboard, "--gap-ms", "1000"});
    EXPECT_TRUE(service_->waitForError("TirnSerial: warning: cannot take the keyboard scanner " + kKeyboard));
    client_ = subscriber();
    ASSERT_TRUE(keyboard.pluggedIn());
    keyboard.type("Ab1-x/Y?\r");
    expectScan("Ab1-x/Y?\\r", 9);
    ASSERT_TRUE(keyboard.type("caf\xC3\xA9\r"));
    expectScan("caf\xC3\xA9\\r", 6);

    std::vector<input_event> keypad;
    for (int i = 0; i < 5000; ++i)
        for (const int value : {1, 0}) {
            keypad.push_back(keyRecord(EV_KEY, KEY_KP1, value));
            keypad.push_back(keyRecord(EV_SYN, SYN_REPORT, 0));
        }
    std::string accents;
    for (int i = 0; i < 2100; ++i) accents += "\xC3\xA9";
    ASSERT_TRUE(keyboard.send(keypad));
    ASSERT_TRUE(keyboard.type("\r" + accents + "\r"));
    expectScan(std::string(4096, '1'), 4096);
    expectScan(std::string(904, '1') + "\\r", 905);
    expectScan(accents.substr(0, 4096), 4096);
    expectScan(accents.substr(4096) + "\\r", 105);
    expectFigures(0, "keyboard " + kKeyboard + " connected 6");
    keyboard.unplug();
    EXPECT_EQ(service_->waitForExit(), 0);
    EXPECT_TRUE(service_->waitForOutput("scanner " + kKeyboard + " is gone, the last one: the service ends\n"));
}

// systemctl stop (SIGTERM) with two keyboard scanners: what they had typed
// goes out before the service ends, and the service says once that it
// stops.
TEST_F(Scanners, TerminationPublishesWhatTheKeyboardsTyped) {
    const std::string other = "/dev/input/by-id/usb-Other-event-kbd";
    VirtualKeyboardScanner keyboard(kKeyboard), second(other);
    startService({"0", "--device", kKeyboard, "--device", other});
    client_ = subscriber();
    // Held still (SIGSTOP), the service finds the keys and the stop at once.
    ASSERT_EQ(kill(service_->pid(), SIGSTOP), 0);
    ASSERT_TRUE(eventually([&] { return allThreadsStopped(service_->pid()); }));
    keyboard.type("efgh\r");
    second.type("ijkl\r");
    ASSERT_EQ(kill(service_->pid(), SIGTERM), 0);
    ASSERT_EQ(kill(service_->pid(), SIGCONT), 0);
    EXPECT_EQ(service_->waitForExit(), 0);
    std::multiset<std::string> scans;
    for (int i = 0; i < 2; ++i)
        if (const auto message = client_->receive()) scans.insert(message->payload);
    EXPECT_EQ(scans, (std::multiset<std::string>{scanMessage("efgh\\r", 5), scanMessage("ijkl\\r", 5)}));
    EXPECT_EQ(service_->countInOutput("stopping: asked to end (SIGTERM or SIGINT); every scan read has been "
                                      "published\n"), 1) << service_->out();
}

// A device that is not of the kind named is named in one line, and nothing
// starts: a HID POS scanner whose reports the service cannot lay out (here
// a FIFO, which has no report descriptor at all), and a keyboard scanner
// that is no input event device (a tty, /dev/null), which would otherwise
// be "read" while every scan is lost, or be gone at once.
TEST_F(Scanners, DevicesOfAnotherKindAreNamed) {
    VirtualKeyboardScanner fifo("/dev/hidraw-test");
    VirtualScanner tty("/dev/ttyUSB1");
    const std::string notInput = ": it is no input event device: name the scanner's /dev/input/event* device "
                                 "(ls -l /dev/input/by-id/, the one ending in -event-kbd)\n";
    for (const auto& [device, says] : std::vector<std::pair<std::string, std::string>>{
             {"hidpos:/dev/hidraw-test", "HID POS scanner /dev/hidraw-test: it gives no report descriptor: "},
             {"keyboard:/dev/ttyUSB1", "keyboard scanner /dev/ttyUSB1" + notInput},
             {"keyboard:/dev/null", "keyboard scanner /dev/null" + notInput}}) {
        ServiceProcess service({"0", "--device", device});
        EXPECT_EQ(service.waitForExit(), 255) << device;
        EXPECT_NE(service.out().find(says), std::string::npos) << service.out();
        const std::string path = device.substr(device.find(':') + 1);
        EXPECT_EQ(service.err(), "TirnSerial: cannot read the scanner at " + path +
                                     ": name the scanner's device with --device\n");
    }
}

// The line a serial scanner's port was set to, as the pty's master side
// sees it: speed, stop bits, parity checked, the eighth bit stripped (seven
// data bits) and flow control. (A pty keeps eight data bits and no parity
// bit whatever its reader sets.)
std::string lineFlags(int master) {
    termios line{};
    if (tcgetattr(master, &line) != 0) return "unreadable";
    std::string flags = std::to_string(cfgetospeed(&line)) + ((line.c_cflag & CSTOPB) != 0 ? " 2 stop" : " 1 stop");
    if ((line.c_iflag & INPCK) != 0) flags += (line.c_cflag & PARODD) != 0 ? " odd" : " even";
    if ((line.c_iflag & ISTRIP) != 0) flags += " 7 bits";
    if ((line.c_cflag & CRTSCTS) != 0) flags += " rtscts";
    if ((line.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)) flags += " xonxoff";
    return flags;
}

// Two serial scanners and a keyboard one at once: each serial port set to
// its line (the options', or the device's own), the keyboard scanner goes
// and comes back while the others keep working, then the serial ones go,
// and the service ends once the last one is gone.
TEST_F(Scanners, SerialAndKeyboardTogether) {
    VirtualKeyboardScanner keyboard(kKeyboard);
    VirtualScanner handheld("/dev/ttyUSB1");
    startService({"0", "--baud", "9600", "--flow", "rtscts", "--gap-ms", "20", "--device", "/dev/ttyUSB0", "--device",
                  "keyboard:" + kKeyboard, "--device", "/dev/ttyUSB1,xonxoff,1200,7E2"});
    EXPECT_NE(service_->out().find("\nbaud = 9600\n"), std::string::npos) << service_->out();
    EXPECT_TRUE(service_->waitForError("TirnSerial: warning: --gap-ms 20 is shorter than three characters on "
                                       "/dev/ttyUSB1 (28 ms at 1200 bit/s): its scans may arrive cut apart\n"));
    // What a port keeps of its own is said, once: a pty, eight data bits and no parity bit.
    const std::string kept = "TirnSerial: warning: serial scanner /dev/ttyUSB1 runs at 1200 bit/s, 8N2, xonxoff, not "
                             "1200 bit/s, 7E2, xonxoff: its port cannot do the rest; its scans may arrive garbled\n";
    EXPECT_TRUE(service_->waitForError(kept));
    client_ = subscriber();
    expectScanReaches(*client_, "SERIAL-1");
    handheld.type("HANDHELD-1");
    expectScan("HANDHELD-1", 10);
    EXPECT_EQ(lineFlags(service_->scannerMaster()), std::to_string(B9600) + " 1 stop rtscts");
    EXPECT_EQ(lineFlags(handheld.masterDescriptor()), std::to_string(B1200) + " 2 stop even 7 bits xonxoff");
    keyboard.type("KEYS-1\r");
    expectScan("KEYS-1\\r", 7);

    keyboard.unplug();
    ASSERT_TRUE(service_->waitForOutput("scanner " + kKeyboard + " is gone; the others go on"));
    expectFigures(1, "keyboard " + kKeyboard + " gone 1");
    expectScanReaches(*client_, "SERIAL-2");
    keyboard.plug();
    ASSERT_TRUE(service_->waitForOutput("scanner " + kKeyboard + " is back\n"));
    keyboard.type("KEYS-2\r");
    expectScan("KEYS-2\\r", 7);

    service_->unplugScanner();
    handheld.unplug();
    ASSERT_TRUE(service_->waitForOutput("scanner /dev/ttyUSB0 is gone; the others go on"));
    ASSERT_TRUE(service_->waitForOutput("scanner /dev/ttyUSB1 is gone; the others go on"));
    keyboard.type("KEYS-3\r");
    expectScan("KEYS-3\\r", 7);
    expectFigures(0, "serial /dev/ttyUSB0 gone 2");
    expectFigures(1, "keyboard " + kKeyboard + " connected 3");
    keyboard.unplug();
    EXPECT_EQ(service_->waitForExit(), 0);
    const std::string err = service_->err();
    EXPECT_EQ(err.find(kept), err.rfind(kept)) << err;
    EXPECT_EQ(err.find("serial scanner /dev/ttyUSB0 runs at"), std::string::npos) << err;
}

// A line the port cannot run (a pty keeps 8N1): the port runs what it can,
// is warned about once, and is read at every reopen, scan after scan, the
// default port and a port of its own alike.
TEST_F(Scanners, LineThePortCannotRunIsKeptAcrossReopens) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"0", "--serial-format", "7E1"},
                                                                   {"0", "--device", "/dev/ttyUSB0,9600,7E1"}}) {
        startService(args);
        client_ = subscriber();
        for (int scan = 1; scan <= 8; ++scan) expectScanReaches(*client_, "SCAN-" + std::to_string(scan));
        EXPECT_FALSE(service_->waitForExit(100ms)) << service_->out() << service_->err();
        unplugAndExpectCleanExit();
        EXPECT_EQ(occurrences(service_->err(), "its port cannot do the rest"), 1) << service_->err();
    }
}

}  // namespace
