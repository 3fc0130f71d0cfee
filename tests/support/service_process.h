// The real TirnSerial binary, run by a test inside its sandbox: a pty plays
// the scanner on /dev/ttyUSB0, standard output and standard error are
// captured apart.
#pragma once

#include "virtual_scanner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

struct ServiceOptions {
    bool scannerPlugged = true;   // link scannerPath to a fresh pty
    std::string scannerPath = "/dev/ttyUSB0";
    std::string scannerLink;      // or link /dev/ttyUSB0 to this path instead
    bool unprivileged = false;    // run as nobody, who cannot become root
    std::string binary;           // empty: the TirnSerial under test
    long fileLimit = 0;           // descriptors the service may open; 0: as inherited
    std::vector<std::string> wrapper;  // a program that runs the service, and its arguments
    bool oneStream = false;       // standard error into standard output's pipe, as a journal takes both
    bool journal = false;         // JOURNAL_STREAM names that pipe, as systemd names the journal's stream
    std::vector<std::string> environment;  // NAME=VALUE added to the service's environment
};

class ServiceProcess {
public:
    explicit ServiceProcess(std::vector<std::string> args, ServiceOptions options = {});
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // What the scanner sends.
    void scan(std::string_view bytes, const Pacing& pacing = {});
    // Closes the pty's master side, as pulling the adapter out does.
    void unplugScanner();
    // The pty's master side: it sees a hang-up while nobody has the port open.
    int scannerMaster() const { return scanner_ ? scanner_->masterDescriptor() : -1; }

    // The exit status (0 to 255) once the process has ended in time, and
    // all it printed has been read.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = 10s);
    // Waits until standard output holds `text` `times` times in all.
    bool waitForOutput(std::string_view text, int times = 1, std::chrono::milliseconds timeout = 10s);
    // Waits until standard error holds `text`.
    bool waitForError(std::string_view text, std::chrono::milliseconds timeout = 10s);
    // Waits until the service has started serving and listens on port 9010
    // (as its console says under --log all or events).
    bool waitUntilServing(std::chrono::milliseconds timeout = 10s);

    // Stops reading the service's standard output, as a paused terminal or
    // a stuck log pipe does, and starts again.
    void pauseOutput(bool paused) { outputPaused_ = paused; }
    // Closes the reading end of standard output, as a log reader that ends
    // (`| tee log`, and tee is gone) does.
    void closeOutput() { outputClosed_ = true; }
    int openDescriptors() const;

    std::string out() const;
    std::string err() const;
    int countInOutput(std::string_view text) const;
    // The memory the service holds itself (its anonymous pages), without the
    // pages of its program and libraries, which depend on the kernel and its
    // page cache; the resident size where the kernel does not tell the two.
    long residentKb() const;
    pid_t pid() const { return pid_; }

private:
    void captureOutput(int outFd, int errFd);

    pid_t pid_ = -1;
    std::unique_ptr<VirtualScanner> scanner_;
    std::optional<int> exitStatus_;
    std::atomic<bool> outputPaused_{false};
    std::atomic<bool> outputClosed_{false};
    bool outputEnded_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    std::thread reader_;
};

// A listening socket on the port (on every address) that never accepts, so
// that the service cannot have it. The caller closes it.
int occupyPort(unsigned short port = 9010);

// Counts the occurrences of text in haystack.
int occurrences(std::string_view haystack, std::string_view text);

// The exact scan message for a given Data text and size.
std::string scanMessage(std::string_view data, std::size_t size);
std::string scanMessage(std::string_view data);
