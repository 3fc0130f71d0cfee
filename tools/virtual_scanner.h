// A barcode scanner played on a pseudo-terminal: whoever opens the linked
// path reads what it types, as from a USB serial adapter.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How bytes reach the reader of a serial port.
enum class Adapter {
    Instant,  // all at once, as a pty delivers what is written to it
    Line,     // byte by byte at the line rate: 115200 bit/s, 86.8 us a byte
    Ftdi,     // 62-byte packets; the rest when the 16 ms latency timer expires
    Ch340,    // up to 32 bytes once a USB frame (1 ms)
    Cp210x,   // up to 64 bytes once a USB frame (1 ms)
};

// The adapter's name on command lines (line, ftdi, ch340, cp210x, instant).
std::optional<Adapter> adapterNamed(std::string_view name);

struct Pacing {
    Adapter adapter = Adapter::Instant;
    // The scanner's own pause after each character, on top of the line
    // rate; scanners commonly offer 1 to 5 ms.
    std::chrono::microseconds charGap{0};
};

// One hand-over of bytes to the reader, counted from the scan's first bit.
struct Packet {
    std::chrono::nanoseconds at;
    std::size_t size;
};

// When the bytes of a scan of `length` bytes reach the reader.
std::vector<Packet> deliverySchedule(std::size_t length, const Pacing& pacing);

class VirtualScanner {
public:
    // Plugs in: opens a pty and links `link` to its device side.
    explicit VirtualScanner(std::string link = "/dev/ttyUSB0");
    ~VirtualScanner();
    VirtualScanner(const VirtualScanner&) = delete;
    VirtualScanner& operator=(const VirtualScanner&) = delete;

    bool pluggedIn() const { return master_ >= 0; }
    const std::string& devicePath() const { return device_; }

    // Sends bytes already in the scanner's code page, delivered as the
    // adapter would.
    bool type(std::string_view bytes, const Pacing& pacing = {});
    // The pty's device side, for tests that watch the port.
    int masterDescriptor() const { return master_; }
    // Pulls the adapter out: the device side reads end of file or an error,
    // and the path can no longer be opened.
    void unplug();

private:
    bool writeAll(std::string_view bytes);

    std::string link_;
    std::string device_;
    int master_ = -1;
};

// UTF-8 text in the code page that the conversion mode expects from the
// scanner: GB2312 in modes 0 and 1, GB18030 in mode 2. Nothing when the text
// has characters that code page lacks.
std::optional<std::string> scannerEncoding(std::string_view utf8, int mode);
