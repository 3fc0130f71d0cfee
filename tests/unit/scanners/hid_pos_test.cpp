// HID POS scanners: the scanned data report's layout from the descriptor,
// and reports joined into scans.
#include "hid_pos_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A scanned data report as two makers lay it out: numbered 2, a byte count,
// three symbology bytes, 56 bytes of data, two vendor bytes and a byte whose
// first bit says "continued" (withCount); or unnumbered, the data first and
// the flag at the end, without a count.
Bytes descriptor(bool withCount) {
    Bytes bytes = {0x05, 0x8C, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x12, 0xA1, 0x02};  // page, scanner, report
    if (withCount)
        bytes.insert(bytes.end(), {0x85, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01,
                                   0x05, 0x01, 0x09, 0x3B, 0x81, 0x02,                            // Byte Count
                                   0x95, 0x03, 0x05, 0x8C, 0x09, 0xFB, 0x09, 0xFC, 0x09, 0xFD, 0x81, 0x02});
    else
        bytes.insert(bytes.end(), {0x75, 0x08, 0x26, 0xFF, 0x00});
    bytes.insert(bytes.end(), {0x95, 0x38, 0x09, 0xFE, 0x82, 0x02, 0x01});  // 56 bytes of Decoded Data
    if (withCount) bytes.insert(bytes.end(), {0x06, 0x66, 0xFF, 0x95, 0x02, 0x09, 0x04, 0x09, 0x00, 0x81, 0x02});
    bytes.insert(bytes.end(), {0x05, 0x8C, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x09, 0xFF, 0x81, 0x02,  // flag
                               0xC0, 0xC0});
    return bytes;
}

Bytes report(bool withCount, const std::string& data, bool continued) {
    Bytes bytes;
    if (withCount) bytes = {0x02, static_cast<unsigned char>(data.size()), ']', 'E', '0'};
    Bytes field(56, 0);
    std::copy(data.begin(), data.end(), field.begin());
    bytes.insert(bytes.end(), field.begin(), field.end());
    if (withCount) bytes.insert(bytes.end(), {0x11, 0x22});
    bytes.push_back(continued ? 0x01 : 0x00);
    return bytes;
}

// The scans that a report ends, each followed by "|".
std::string scansOf(HidPosReports& reports, const Bytes& bytes) {
    std::string scans;
    for (const HidPosScan& scan : reports.take(bytes.data(), bytes.size())) scans += scan.bytes + "|";
    return scans;
}

TEST(HidPos, LayoutFromTheDescriptorAndContinuedReportsJoined) {
    for (const bool withCount : {true, false}) {
        const Bytes described = descriptor(withCount);
        const auto layout = findHidPosLayout(described.data(), described.size());
        ASSERT_TRUE(layout) << withCount;
        EXPECT_EQ(layout->reportId, withCount ? 2 : 0);
        EXPECT_EQ(layout->dataBytes, 56u);
        HidPosReports reports(*layout);
        const std::string first(56, 'A'), rest = "0123456789-\xD6\xD0";
        auto take = [&reports](const Bytes& bytes) { return scansOf(reports, bytes); };
        EXPECT_EQ(take(report(withCount, first, true)), "");
        EXPECT_EQ(take(report(withCount, rest, false)), first + rest + "|") << withCount;
        EXPECT_EQ(take(report(withCount, "4006381333931", false)), "4006381333931|");
        // The symbology bytes beside the data, where the reports have them.
        const auto scanned = reports.take(report(withCount, "96385074", false).data(), 5 + 56 + 3);
        ASSERT_EQ(scanned.size(), 1u);
        EXPECT_EQ(scanned[0].symbology, withCount ? "]E0" : "");
        EXPECT_TRUE(scanned[0].whole);
        // Continued without end, a scan ends at its bound, and the rest of
        // the report that crossed it begins the next; in the scanner's
        // charset, the cut keeps its characters whole.
        std::string endless;
        for (int i = 0; i < 2000 && endless.empty(); ++i) endless = take(report(withCount, first, true));
        EXPECT_EQ(endless, std::string(65536, 'A') + "|");
        EXPECT_EQ(take(report(withCount, "END", false)), std::string(40, 'A') + "END|");
        HidPosReports gb18030(*layout, "gb18030");
        std::string chinese;
        for (int i = 0; i < 28; ++i) chinese += "\xD6\xD0";
        std::string cut = scansOf(gb18030, report(withCount, "X" + chinese.substr(2), true));
        for (int i = 0; i < 2000 && cut.empty(); ++i) cut = scansOf(gb18030, report(withCount, chinese, true));
        EXPECT_EQ(cut.size(), 65535u + 1);
        // What a scanner pulled out in the middle of a scan had sent is only
        // part of that scan.
        const HidPosScan underWay = gb18030.endUnderWay().value();
        EXPECT_EQ(underWay.bytes, chinese.substr(0, 40));
        EXPECT_FALSE(underWay.whole);
        if (withCount) {
            EXPECT_EQ(take({0x04, 0x01}), "") << "another report";
            EXPECT_EQ(take({0x02, 0x05, ']'}), "") << "a report cut short before its data";
            Bytes unmarked = report(withCount, "X", false);
            unmarked[2] = unmarked[3] = unmarked[4] = 0;  // a scanner set to send no identifier
            EXPECT_EQ(reports.take(unmarked.data(), unmarked.size()).at(0).symbology, "");
        }
    }
}

TEST(HidPos, UnknownOrBrokenLayoutsAreRefused) {
    const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
                            0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xC0};
    EXPECT_FALSE(findHidPosLayout(keyboard.data(), keyboard.size()));
    Bytes cut = descriptor(true);
    cut.resize(cut.size() / 2 + 1);
    cut.back() = 0x27;  // a four-byte item with its data missing
    EXPECT_FALSE(findHidPosLayout(cut.data(), cut.size()));
    const Bytes huge = {0x05, 0x8C, 0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0x7F, 0x09, 0xFE, 0x81, 0x02};
    EXPECT_FALSE(findHidPosLayout(huge.data(), huge.size()));
    Bytes numbered = descriptor(true);
    numbered[11] = 0xFF;  // report id 255 is the last there is
    EXPECT_TRUE(findHidPosLayout(numbered.data(), numbered.size()));
    numbered.erase(numbered.begin() + 10, numbered.begin() + 12);
    numbered.insert(numbered.begin() + 10, {0x87, 0xFF, 0xFF, 0xFF, 0xFF});  // a four-byte id: -1 once cut to int
    EXPECT_FALSE(findHidPosLayout(numbered.data(), numbered.size()));
}

}  // namespace
