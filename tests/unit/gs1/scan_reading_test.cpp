#include "application_identifiers.h"
#include "gs1/scan_reading.h"
#include "gs1_cases.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The year the case table's dates are read in.
constexpr int kYear = 2026;

// The gs1 column as the reading gives it: "-", "!reason" or "AI=value ...".
std::string described(const ScanReading& reading) {
    if (!reading.gs1Error.empty()) return "!" + reading.gs1Error;
    if (reading.gs1.empty()) return "-";
    std::string pairs;
    for (const auto& [ai, value] : reading.gs1) pairs += (pairs.empty() ? "" : " ") + ai + "=" + value;
    return pairs;
}

ScanReading readInYear(const std::string& scan, int year, const std::string& scanner = "aim") {
    const bool aimIds = scanner.find("aim") != std::string::npos;
    return readScanContent(scan, aimIds, scanner.find("gs1") != std::string::npos, year);
}

}  // namespace

// Every case of the shared table: GS1's own examples and the edge cases.
TEST(Gs1, ReadsTheCaseTable) {
    const std::vector<Gs1Case> cases = readGs1Cases(TIRN_GS1_CASES);
    EXPECT_GT(cases.size(), 70u) << TIRN_GS1_CASES;
    for (const Gs1Case& scan : cases) {
        SCOPED_TRACE(scan.note + ": " + scan.scanner + " " + scan.scan);
        const ScanReading reading = readInYear(scan.scan, kYear, scan.scanner);
        EXPECT_EQ(reading.symbology ? reading.symbology->id : "-", scan.id);
        EXPECT_EQ(reading.text, scan.text);
        EXPECT_EQ(described(reading), scan.gs1);
    }
}

TEST(Gs1, NamesIdentifiersByTheirSymbology) {
    const std::pair<const char*, const char*> names[] = {
        {"]E0", "EAN-13"},         {"]E4", "EAN-8"},     {"]C1", "GS1-128"},     {"]e0", "GS1 DataBar"},
        {"]d2", "GS1 DataMatrix"}, {"]Q3", "GS1 QR Code"}, {"]J1", "GS1 DotCode"}, {"]Q1", "QR Code"},
        {"]d1", "Data Matrix"},    {"]A0", "Code 39"},   {"]L2", "PDF417"},      {"]z0", "Aztec"},
        {"]A4", "Code 39"},        {"]d5", "Data Matrix"}, {"]W0", "unknown symbology"}};
    for (const auto& [id, name] : names) {
        const ScanReading reading = readInYear(std::string(id) + "X", kYear);
        ASSERT_TRUE(reading.symbology) << id;
        EXPECT_EQ(reading.symbology->name, name) << id;
    }
}

// Two-digit years lie within 49 years before the current one and 50 after.
TEST(Gs1, PlacesTwoDigitYearsAroundTheCurrentYear) {
    const struct {
        const char* date;
        int year;
        bool valid;
    } cases[] = {
        {"000229", 2026, true},   // 2000, a leap year
        {"000229", 2051, false},  // 2100: 00 is 51 years behind, so ahead
        {"760229", 2026, true},   // 2076: 50 ahead
        {"770229", 2026, false},  // 1977: 51 ahead is behind
        {"280229", 2078, true},   // 2128, 50 ahead
        {"270229", 2077, false},  // 2127
    };
    for (const auto& c : cases) {
        const ScanReading reading = readInYear(std::string("]d217") + c.date, c.year);
        EXPECT_EQ(reading.gs1Error.empty(), c.valid) << c.date << " in " << c.year << ": " << reading.gs1Error;
    }
}

TEST(Gs1, TakesExactlyGs1CharacterSet82) {
    const std::string set82 = "!\"%&'()*+,-./0123456789:;<=>?ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == 0x1d) continue;
        const std::string scan = std::string("]d210A") + static_cast<char>(byte) + "B";
        const bool inSet = set82.find(static_cast<char>(byte)) != std::string::npos;
        EXPECT_EQ(readInYear(scan, kYear).gs1Error.empty(), inSet) << "byte " << byte;
    }
}

// The table itself: AIs prefix-free, and the predefined lengths agree with
// the formats, or element strings would be cut in the wrong places.
TEST(Gs1, TableIsConsistent) {
    const ApplicationIdentifiers& table = ApplicationIdentifiers::table();
    ASSERT_GT(table.rules().size(), 300u);
    for (const AiRule& rule : table.rules()) {
        SCOPED_TRACE(rule.ai);
        EXPECT_EQ(table.atStartOf(rule.ai + "123456789012345678"), &rule);
        const std::size_t predefined = table.predefinedLength(rule.ai);
        EXPECT_EQ(rule.predefinedValueLength, predefined ? predefined - rule.ai.size() : 0);
        const bool fixed = rule.format.fixedLength() && rule.format.maxLength() == rule.predefinedValueLength;
        EXPECT_TRUE(!predefined || fixed);
    }
    for (const char* ai : {"00", "01", "02", "10", "11", "12", "13", "15", "16", "17", "20", "21", "22", "30",
                           "37", "240", "241", "250", "251", "253", "254", "255", "3100", "3695", "3909", "3955",
                           "400", "403", "410", "417", "420", "422", "7003", "8003", "8004", "8006", "8020", "90",
                           "99"})
        EXPECT_NE(table.ruleOf(ai), nullptr) << ai;
}
