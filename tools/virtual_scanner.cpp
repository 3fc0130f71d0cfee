#include "virtual_scanner.h"

#include <fcntl.h>
#include <iconv.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

using std::chrono::nanoseconds;

constexpr nanoseconds kByteTime{86'806};  // 10 bits at 115200 bit/s
constexpr nanoseconds kUsbFrame = std::chrono::milliseconds(1);
constexpr nanoseconds kFtdiLatencyTimer = std::chrono::milliseconds(16);
constexpr std::size_t kFtdiPacketData = 62;  // 64 less two status bytes

timespec after(const timespec& start, nanoseconds offset) {
    const long long total = start.tv_nsec + offset.count();
    timespec at = start;
    at.tv_sec += static_cast<time_t>(total / 1'000'000'000);
    at.tv_nsec = static_cast<long>(total % 1'000'000'000);
    return at;
}

// The chip sends a packet once it holds a full one, and otherwise whatever
// it holds each time its latency timer expires.
std::vector<Packet> ftdiSchedule(std::size_t length, nanoseconds perByte) {
    std::vector<Packet> packets;
    nanoseconds timer{0};
    std::size_t holding = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const nanoseconds arrived = perByte * static_cast<long>(i + 1);
        for (; timer + kFtdiLatencyTimer <= arrived; timer += kFtdiLatencyTimer) {
            if (holding > 0) packets.push_back({timer + kFtdiLatencyTimer, holding});
            holding = 0;
        }
        if (++holding == kFtdiPacketData) {
            packets.push_back({arrived, holding});
            holding = 0;
            timer = arrived;
        }
    }
    if (holding > 0) {
        const nanoseconds last = perByte * static_cast<long>(length);
        while (timer + kFtdiLatencyTimer < last) timer += kFtdiLatencyTimer;
        packets.push_back({timer + kFtdiLatencyTimer, holding});
    }
    return packets;
}

// Each USB frame carries what has arrived since the last one, up to the
// packet size.
std::vector<Packet> frameSchedule(std::size_t length, nanoseconds perByte, std::size_t packetSize) {
    std::vector<Packet> packets;
    std::size_t sent = 0;
    for (nanoseconds frame = kUsbFrame; sent < length; frame += kUsbFrame) {
        const auto arrived = std::min<std::size_t>(length, static_cast<std::size_t>(frame / perByte));
        const std::size_t size = std::min(arrived - sent, packetSize);
        if (size == 0) continue;
        packets.push_back({frame, size});
        sent += size;
    }
    return packets;
}

}  // namespace

std::optional<Adapter> adapterNamed(std::string_view name) {
    if (name == "instant") return Adapter::Instant;
    if (name == "line") return Adapter::Line;
    if (name == "ftdi") return Adapter::Ftdi;
    if (name == "ch340") return Adapter::Ch340;
    if (name == "cp210x") return Adapter::Cp210x;
    return std::nullopt;
}

std::vector<Packet> deliverySchedule(std::size_t length, const Pacing& pacing) {
    const nanoseconds perByte = kByteTime + pacing.charGap;
    switch (pacing.adapter) {
    case Adapter::Instant: return {{nanoseconds{0}, length}};
    case Adapter::Line: {
        std::vector<Packet> packets;
        for (std::size_t i = 0; i < length; ++i) packets.push_back({perByte * static_cast<long>(i + 1), 1});
        return packets;
    }
    case Adapter::Ftdi: return ftdiSchedule(length, perByte);
    case Adapter::Ch340: return frameSchedule(length, perByte, 32);
    case Adapter::Cp210x: return frameSchedule(length, perByte, 64);
    }
    return {};
}

VirtualScanner::VirtualScanner(std::string link) : link_(std::move(link)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        unplug();
        return;
    }
    device_ = ptsname(master_);
    // Where stable names of serial devices live, as udev makes them.
    for (std::size_t slash = link_.find('/', 1); slash != std::string::npos; slash = link_.find('/', slash + 1))
        mkdir(link_.substr(0, slash).c_str(), 0755);
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
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (const Packet& packet : deliverySchedule(bytes.size(), pacing)) {
        const timespec due = after(start, packet.at);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (!writeAll(bytes.substr(0, packet.size))) return false;
        bytes.remove_prefix(packet.size);
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
