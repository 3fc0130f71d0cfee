// A barcode scanner played on a pseudo-terminal: whoever opens the linked
// path reads what it types, as from a USB serial adapter.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct Pacing {
    // Each byte no sooner than the line rate of 115200 bit/s allows: ten
    // bits, 86.8 microseconds, a byte.
    bool lineRate = false;
    // Bytes handed over at a time (0: all at once), with a pause between
    // the pieces, as a USB adapter delivers its packets.
    std::size_t chunk = 0;
    std::chrono::microseconds gap{0};
};

class VirtualScanner {
public:
    // Plugs in: opens a pty and links `link` to its device side.
    explicit VirtualScanner(std::string link = "/dev/ttyUSB0");
    ~VirtualScanner();
    VirtualScanner(const VirtualScanner&) = delete;
    VirtualScanner& operator=(const VirtualScanner&) = delete;

    bool pluggedIn() const { return master_ >= 0; }
    const std::string& devicePath() const { return device_; }

    // Sends bytes already in the scanner's code page.
    bool type(std::string_view bytes, const Pacing& pacing = {});
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
