// Scans from a scanner on a serial port (a USB serial adapter): its bytes
// framed into scans and converted to the clients' character set. The port
// is closed after each scan and opened again before the next one is read.
#pragma once

#include "scanners/relay_buffers.h"
#include "scanners/scan_reader.h"
#include "scanners/scan_source.h"
#include "scanners/serial_line.h"
#include "text/charset.h"

#include <cstddef>
#include <memory>
#include <string>

class SerialScanSource : public ScanSource {
public:
    // Reads the port that start-up opened (SerialHandle).
    SerialScanSource(RelayBuffers& buffers, std::string device, SerialLine line, ScanCharsets charsets,
                     ScanFraming framing);
    // Reads another serial scanner's port, opened already (openOtherSerialPort),
    // with buffers of its own.
    SerialScanSource(int openedPort, std::string device, SerialLine line, ScanCharsets charsets,
                     ScanFraming framing);
    ~SerialScanSource() override;
    SerialScanSource(const SerialScanSource&) = delete;
    SerialScanSource& operator=(const SerialScanSource&) = delete;

    std::optional<Scan> waitForScan() override;

private:
    std::optional<Scan> readNext();
    bool reopen();
    bool openAgain();
    Scan takeScan(const ScanRead& read);
    int heldBackLength(int count) const;
    void closeKeepingItOpen();

    std::unique_ptr<RelayBuffers> ownBuffers_;  // another scanner's
    int ownPort_ = -1;
    RelayBuffers& buffers_;
    int& port_;  // SerialHandle, or ownPort_
    const std::string device_;
    const SerialLine line_;  // set again on every reopen
    const ScanCharsets charsets_;
    const ScanFraming framing_;
    int carried_ = 0;           // bytes that start the buffer again: the next scan's
    int keeper_ = -1;           // keeps the port open from its close until the reopen
    bool portClosed_ = false;   // closed after a scan: open it again before reading
    bool scannerGone_ = false;  // only what was read before is left
    bool ended_ = false;
};
