#include "scanner_set.h"

#include "console/console.h"
#include "console/console_lines.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

namespace {

bool readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return fd >= 0 && poll(&watched, 1, 0) == 1;
}

// A watch on the nearest directory above `path` that exists, for anything
// created, moved in or changed there; -1 when there is none.
int watchAbove(const std::string& path) {
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    for (std::string dir = path; watcher >= 0;) {
        const auto slash = dir.rfind('/');
        if (slash == std::string::npos) break;
        dir.resize(slash == 0 ? 1 : slash);
        if (inotify_add_watch(watcher, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0) return watcher;
        if (dir == "/") break;
    }
    if (watcher >= 0) close(watcher);
    return -1;
}

}  // namespace

ScannerSet::ScannerSet(std::vector<ScannerDevice> devices, std::vector<std::unique_ptr<ScanSource>> opened,
                       Opener open, Watch watch, const ScanFraming& framing)
    : devices_(std::move(devices)), open_(std::move(open)), watch_(std::move(watch)), stop_(framing.stop),
      heartbeat_(framing.heartbeat), alive_(framing.alive), ended_(eventfd(0, EFD_CLOEXEC)),
      connected_(opened.size()), reading_(opened.size()) {
    for (std::size_t i = 0; i < opened.size(); ++i) {
        watch_(i, true, opened[i]->name());
        readers_.emplace_back(&ScannerSet::read, this, i, std::move(opened[i]));
    }
}

ScannerSet::~ScannerSet() {
    for (auto& reader : readers_) reader.join();
    close(ended_);
}

// Runs on the relay loop's thread: its heartbeat while no scan comes.
std::optional<Scan> ScannerSet::waitForScan() {
    std::unique_lock<std::mutex> lock(guard_);
    while (!changed_.wait_for(lock, heartbeat_, [this] { return !scans_.empty() || reading_ == 0; }))
        if (alive_) alive_();
    if (scans_.empty()) return std::nullopt;
    Scan scan = std::move(scans_.front());
    scans_.pop_front();
    roomFreed_.notify_one();
    return scan;
}

void ScannerSet::queue(Scan scan) {
    std::unique_lock<std::mutex> lock(guard_);
    roomFreed_.wait(lock, [this] { return scans_.size() < kQueuedScans; });
    scans_.push_back(std::move(scan));
    changed_.notify_all();
}

void ScannerSet::read(std::size_t index, std::unique_ptr<ScanSource> source) {
    const std::string& path = devices_[index].path;
    while (source) {
        while (auto scan = source->waitForScan()) {
            scan->device = index;
            queue(std::move(*scan));
        }
        source.reset();
        if (ending()) break;
        watch_(index, false, "");
        if (lastOneGone()) {
            consoleOut(LineKind::Event, "scanner %s is gone, the last one: the service ends\n", path.c_str());
            break;
        }
        consoleOut(LineKind::Event, "scanner %s is gone; the others go on, and it is read again when it comes back\n",
                   path.c_str());
        flushConsole();
        source = waitForReturn(devices_[index]);
        if (!source) break;
        {
            std::lock_guard<std::mutex> lock(guard_);
            ++connected_;
        }
        watch_(index, true, source->name());
        consoleOut(LineKind::Event, "scanner %s is back\n", path.c_str());
        flushConsole();
    }
    std::lock_guard<std::mutex> lock(guard_);
    --reading_;
    changed_.notify_all();
}

// Counts a scanner gone; the last one ends the set, and wakes the readers
// that wait for theirs to come back.
bool ScannerSet::lastOneGone() {
    std::lock_guard<std::mutex> lock(guard_);
    if (--connected_ > 0) return false;
    const eventfd_t one = 1;
    eventfd_write(ended_, one);
    return true;
}

bool ScannerSet::ending() const { return readable(stop_) || readable(ended_); }

// Opens the scanner once its device is there again; nothing when the set
// ends first.
std::unique_ptr<ScanSource> ScannerSet::waitForReturn(const ScannerDevice& device) {
    for (;;) {
        const int watcher = watchAbove(device.path);
        if (access(device.path.c_str(), F_OK) == 0) {
            if (auto source = open_(device)) {
                if (watcher >= 0) close(watcher);
                return source;
            }
        }
        // Without a watch (no directory above it at all), look again now
        // and then; a device that is there but cannot be opened yet (its
        // permissions still being set) is tried on the next change.
        pollfd watched[3] = {{watcher, POLLIN, 0}, {stop_, POLLIN, 0}, {ended_, POLLIN, 0}};
        poll(watched, 3, watcher >= 0 ? 60000 : 1000);
        if (watcher >= 0) close(watcher);
        if (ending()) return nullptr;
    }
}
