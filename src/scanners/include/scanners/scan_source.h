// Where scans come from. The relay takes finished scans from a source, one
// after another, and hands each to its sinks; a new kind of scanner is a new
// source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct Scan {
    std::string text;       // in the clients' character set (the conversion mode's)
    std::size_t rawLength;  // bytes the scanner sent for it
    bool replaced;          // some bytes could not be converted and were replaced
    // The text ended early, before this byte of the scan (--invalid stop).
    std::optional<std::uint64_t> cutAt = std::nullopt;
    std::size_t device = 0; // which of the service's scanners sent it
    // The AIM symbology identifier ("]E0") its scanner gave beside the data
    // (a HID POS scanner's reports); "" when none did.
    std::string symbology = {};
    // The scan did not reach its end (a HID POS scanner pulled out in the
    // middle of one, or its bound): it holds only the first part.
    bool partial = false;
};

class ScanSource {
public:
    virtual ~ScanSource() = default;
    // Waits for the next finished scan. Nothing once the source has ended:
    // its scanner is gone for good, or the service is to stop.
    virtual std::optional<Scan> waitForScan() = 0;
    // What the scanner calls itself, if it says.
    virtual std::string name() const { return ""; }
};
