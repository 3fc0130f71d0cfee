// Where a HID point-of-sale scanner (usage page 0x8C) puts a scan in its
// reports, as its report descriptor says: makers differ in the offsets.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct HidPosLayout {
    int reportId = 0;                 // the scanned data report's id; 0: reports are not numbered
    std::size_t dataBit = 0;          // Decoded Data (0x8C:0xFE): where it starts, in bits after the id
    std::size_t dataBytes = 0;        // and how many bytes it has room for
    std::optional<std::size_t> lengthBit;     // Byte Count (0x01:0x3B), 8 bits, when given
    std::optional<std::size_t> continuedBit;  // Decode Data Continued (0x8C:0xFF), when given
    // Symbology Identifier 1 to 3 (0x8C:0xFB to 0xFD), bytes, when given:
    // the AIM identifier of what was scanned ("]E0"), beside the data.
    std::array<std::optional<std::size_t>, 3> symbologyBits;
    std::size_t reportBits = 0;       // the whole report's length as described, in bits after the id
};

// The layout of the scanned data report; nothing when the descriptor has no
// byte-wide Decoded Data input, or is malformed.
std::optional<HidPosLayout> findHidPosLayout(const unsigned char* descriptor, std::size_t size);

// A scan's bytes, and the AIM symbology identifier its reports gave beside
// them ("" when they gave none).
struct HidPosScan {
    std::string bytes;
    std::string symbology;
    // False when the scan did not reach its end: its bound cut it, or its
    // scanner stopped (pulled out) with it under way.
    bool whole = true;
};

// Joins a scanner's reports into scans: a report flagged as continued waits
// for the next one.
class HidPosReports {
public:
    // A scan is never longer than this: one continued without end is cut
    // there, and the rest begins the next.
    static constexpr std::size_t kMaxScanBytes = 65536;

    // `charset` is the scanner's: a cut keeps its characters whole ("": any
    // byte may end a scan).
    explicit HidPosReports(HidPosLayout layout, std::string charset = "")
        : layout_(layout), charset_(std::move(charset)) {}

    // One report as read (the id first when reports are numbered); the
    // bytes of the scans it ends, in order. Other reports are ignored.
    std::vector<HidPosScan> take(const unsigned char* report, std::size_t size);
    // The scan that reports flagged as continued have begun, ended where it
    // is: not whole.
    std::optional<HidPosScan> endUnderWay();

private:
    std::size_t cutAt() const;
    // The identifier a report gives: "]", a code character and a modifier,
    // all printable; "" for anything else (zeros where the scanner sends none).
    std::string symbologyOf(const unsigned char* report, std::size_t size) const;

    const HidPosLayout layout_;
    const std::string charset_;
    std::string pending_;
    std::string pendingSymbology_;  // as the first report of the pending scan gave it
};
