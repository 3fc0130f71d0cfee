#include "virtual_scanner.h"

#include <fcntl.h>
#include <iconv.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr long kNanosecondsPerByte = 86'806;  // 10 bits at 115200 bit/s

timespec after(const timespec& start, long nanoseconds) {
    timespec at = start;
    at.tv_nsec += nanoseconds % 1'000'000'000;
    at.tv_sec += nanoseconds / 1'000'000'000 + at.tv_nsec / 1'000'000'000;
    at.tv_nsec %= 1'000'000'000;
    return at;
}

}  // namespace

VirtualScanner::VirtualScanner(std::string link) : link_(std::move(link)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        unplug();
        return;
    }
    device_ = ptsname(master_);
    unlink(link_.c_str());
    if (symlink(device_.c_str(), link_.c_str()) != 0) unplug();
}

VirtualScanner::~VirtualScanner() { unplug(); }

void VirtualScanner::unplug() {
    if (master_ < 0) return;
    close(master_);
    master_ = -1;
}

bool VirtualScanner::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool VirtualScanner::type(std::string_view bytes, const Pacing& pacing) {
    if (master_ < 0) return false;
    const std::size_t piece = pacing.lineRate ? 1 : (pacing.chunk ? pacing.chunk : bytes.size());
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t size = std::min(piece, bytes.size() - sent);
        if (!writeAll(bytes.substr(sent, size))) return false;
        sent += size;
        if (sent == bytes.size()) break;
        if (pacing.lineRate) {
            const timespec next = after(start, static_cast<long>(sent) * kNanosecondsPerByte);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        if (pacing.gap.count() > 0 && sent % std::max<std::size_t>(pacing.chunk, 1) == 0)
            usleep(static_cast<useconds_t>(pacing.gap.count()));
    }
    return true;
}

std::optional<std::string> scannerEncoding(std::string_view utf8, int mode) {
    iconv_t converter = iconv_open(mode == 2 ? "gb18030" : "gb2312", "utf-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string encoded(utf8.size() * 2 + 4, '\0');  // never longer than that
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* out = encoded.data();
    size_t outLeft = encoded.size();
    const bool whole = iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
    iconv_close(converter);
    if (!whole) return std::nullopt;
    encoded.resize(encoded.size() - outLeft);
    return encoded;
}
