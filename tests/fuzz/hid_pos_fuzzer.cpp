// What a HID POS scanner gives, any bytes: its report descriptor through
// the layout's parser, then its reports through the joiner, as the HID POS
// source does it. The input: a byte for the descriptor's length, the
// descriptor, a byte choosing the scanner's charset and how often the
// device sends its reports again (up to 32 times, so that short inputs
// reach past the bound), then reports, each a byte for its length and its
// bytes. A layout never reaches past the report it describes; no scan is
// empty or longer than 64 KiB.
#include "hid_pos_layout.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "hid_pos_fuzzer: %s\n", what);
    abort();
}

void checkLayout(const HidPosLayout& layout) {
    require(layout.reportId >= 0 && layout.reportId <= 255, "a report id out of range");
    require(layout.dataBytes > 0, "a layout without data");
    require(layout.dataBit + 8 * layout.dataBytes <= layout.reportBits, "data past the end of the report");
    require(!layout.lengthBit || *layout.lengthBit + 8 <= layout.reportBits, "a byte count past the report");
    require(!layout.continuedBit || *layout.continuedBit < layout.reportBits, "a flag past the report");
}

void check(const std::string& scan) {
    require(!scan.empty(), "an empty scan");
    require(scan.size() <= HidPosReports::kMaxScanBytes, "a scan over its bound");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t descriptorSize = std::min<std::size_t>(data[0], size - 2);
    const auto layout = findHidPosLayout(data + 1, descriptorSize);
    if (!layout) return 0;
    checkLayout(*layout);
    const std::uint8_t control = data[1 + descriptorSize];
    static const char* const charsets[] = {"", "gb18030", "shift_jis", "utf-8"};
    HidPosReports reports(*layout, charsets[control & 3]);
    const int sendings = (control >> 2) % 32 + 1;
    for (int sending = 0; sending < sendings; ++sending)
        for (std::size_t at = 2 + descriptorSize; at < size;) {
            const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
            for (const HidPosScan& scan : reports.take(data + at + 1, length)) {
                check(scan.bytes);
                require(scan.symbology.empty() || (scan.symbology.size() == 3 && scan.symbology[0] == ']'),
                        "a symbology that is no identifier");
            }
            at += 1 + length;
        }
    if (const auto rest = reports.endUnderWay()) check(rest->bytes);
    return 0;
}
