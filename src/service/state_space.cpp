#include "service/state_space.h"

#include "console/console.h"
#include "console/console_lines.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

// Each store's file, write-ahead log (512 kB at most, see sqlite_file.cpp)
// and shared-memory index, empty.
constexpr unsigned long long kFixedBytes = 1280 * 1024;
// A scan of up to 32 bytes, with its messages and what SQLite
// adds around it: the bench's 12-byte scans took 312 and 104 bytes.
constexpr unsigned long long kHistoryScanBytes = 360;
constexpr unsigned long long kOutboxScanBytes = 125;

// What the stores take in DIR already: room they go on using.
unsigned long long takenByStores(const std::string& dir) {
    unsigned long long taken = 0;
    for (const char* file : {"/history.db", "/outbox.db"})
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat info {};
            if (stat((dir + file + suffix).c_str(), &info) == 0)
                taken += static_cast<unsigned long long>(info.st_blocks) * 512;
        }
    return taken;
}

double megabytes(unsigned long long bytes) { return static_cast<double>(bytes) / (1024 * 1024); }

unsigned long long stateDirectoryNeed(std::size_t depth, std::size_t queueLimit) {
    return kFixedBytes + depth * kHistoryScanBytes + queueLimit * kOutboxScanBytes;
}

}  // namespace

void warnIfStateDirectoryTooSmall(const std::string& dir, std::size_t depth, std::size_t queueLimit) {
    struct statvfs space {};
    if (statvfs(dir.c_str(), &space) != 0) return;  // unusable: said elsewhere
    const unsigned long long room =
        static_cast<unsigned long long>(space.f_bavail) * space.f_frsize + takenByStores(dir);
    const unsigned long long need = stateDirectoryNeed(depth, queueLimit);
    if (room >= need) return;
    const std::string queue = queueLimit != 0 ? " and --mqtt-queue " + std::to_string(queueLimit) : "";
    consoleErr(LineKind::Warning,
               "TirnSerial: warning: the state directory %s has room for %.1f MB, less than the %.1f MB that "
               "--history %zu%s may take; once it is full, scans are kept in memory only (see --state-dir)\n",
               dir.c_str(), megabytes(room), megabytes(need), depth, queue.c_str());
    flushConsole();
}
