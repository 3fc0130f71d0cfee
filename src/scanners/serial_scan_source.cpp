#include "serial_scan_source.h"

#include "stop_notice.h"
#include "console/console.h"
#include "console/console.h"
#include "console/console_lines.h"
#include "scanners/serial_port.h"
#include "scanners/serial_port.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// A scan ends where the buffer still has room for the zero byte behind it.
constexpr int kMaxBurstLength = static_cast<int>(kBurstBufferSize) - 1;

}  // namespace

void RelayBuffers::wipe() {
    memset(burst, 0, sizeof burst);
    memset(converted, 0, sizeof converted);
}

SerialScanSource::SerialScanSource(RelayBuffers& buffers, std::string device, SerialLine line, ScanCharsets charsets,
                                   ScanFraming framing)
    : buffers_(buffers), port_(SerialHandle), device_(std::move(device)), line_(line),
      charsets_(std::move(charsets)), framing_(std::move(framing)) {}

SerialScanSource::SerialScanSource(int openedPort, std::string device, SerialLine line, ScanCharsets charsets,
                                   ScanFraming framing)
    : ownBuffers_(std::make_unique<RelayBuffers>()), ownPort_(openedPort), buffers_(*ownBuffers_), port_(ownPort_),
      device_(std::move(device)), line_(line), charsets_(std::move(charsets)), framing_(std::move(framing)) {
    buffers_.wipe();
}

SerialScanSource::~SerialScanSource() {
    if (keeper_ >= 0) close(keeper_);
}

std::optional<Scan> SerialScanSource::waitForScan() {
    if (ended_) return std::nullopt;
    if (scannerGone_) {
        // What the adapter sent before it went may still wait in the buffer
        // (several stored scans from one read, say): each scan goes out, in
        // order. Held bytes are framed without waiting for the scanner.
        if (carried_ > 0) return takeScan(readScan(port_, buffers_.burst, kMaxBurstLength, carried_, framing_));
        ended_ = true;
        return std::nullopt;
    }
    if (portClosed_ && !reopen()) return waitForScan();
    flushConsole();  // what the reopen printed, before the wait
    return readNext();
}

std::optional<Scan> SerialScanSource::readNext() {
    for (;;) {
        const ScanRead read = readScan(port_, buffers_.burst, kMaxBurstLength, carried_, framing_);
        if (read.stopped) {
            sayStopping();
            close(port_);
            ended_ = true;
            return std::nullopt;
        }
        if (read.length > 0) return takeScan(read);
        // Nothing read means the port failed (the adapter is gone, say):
        // that is no scan, and the reopen tells whether to go on.
        carried_ = 0;
        closeKeepingItOpen();
        if (!reopen()) return waitForScan();
    }
}

bool SerialScanSource::reopen() {
    portClosed_ = false;
    const bool reopened = openAgain();
    if (keeper_ >= 0) close(std::exchange(keeper_, -1));
    if (reopened) return true;
    consoleOut(LineKind::Chatter, "GetConAgain output:init_com error \n");
    port_ = -1;  // nothing left to read, close or keep open
    scannerGone_ = true;
    return false;
}

bool SerialScanSource::openAgain() {
    if (ownBuffers_) return (port_ = openOtherSerialPort(device_.c_str(), line_, PendingInput::Keep)) >= 0;
    return init_com(device_.c_str(), line_, PendingInput::Keep) >= 0;
}

// Converts the scan and closes the port; what followed the scan starts the
// burst buffer again.
Scan SerialScanSource::takeScan(const ScanRead& read) {
    const int length = read.length - heldBackLength(read.length);
    const std::string following(buffers_.burst + length, static_cast<std::size_t>(read.total - length));
    memset(buffers_.burst + length, 0, following.size());

    // The zero byte behind the scan is converted too; the output capacity
    // keeps one byte free so that the text always ends in a zero.
    const ScanConversion conversion =
        convertScan(charsets_, buffers_.burst, length + 1, buffers_.converted, sizeof buffers_.converted - 1);
    closeKeepingItOpen();
    Scan scan{std::string(buffers_.converted), static_cast<std::size_t>(length), conversion.replaced, conversion.cutAt};

    buffers_.wipe();
    memcpy(buffers_.burst, following.data(), following.size());
    carried_ = static_cast<int>(following.size());
    return scan;
}

// A scan cut off by the full buffer may end inside a character: those bytes
// are held back so that the character arrives whole with what follows.
int SerialScanSource::heldBackLength(int count) const {
    if (count < kMaxBurstLength) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffers_.burst);
    return count - static_cast<int>(completeCharactersLength(charsets_.source().c_str(), bytes, count));
}

// Closing the last descriptor of a USB serial tty flushes its input and
// stops the adapter's reads, and the next open resets some chips: bytes
// arriving meanwhile would be lost. A duplicate held across the close and
// the reopen keeps the device open.
void SerialScanSource::closeKeepingItOpen() {
    if (port_ < 0) return;  // the scanner is gone
    keeper_ = dup(port_);
    close(port_);
    portClosed_ = true;
}
