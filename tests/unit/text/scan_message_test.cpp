#include "text/scan_message.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

std::string expectedMessage(const std::string& printedSize, const std::string& escapedData) {
    return "{\n\t\"type\":\t\"BARCODE_GUN\",\n\t\"size\":\t" + printedSize + ",\n\t\"Data\":\t\"" +
           escapedData + "\"\n}";
}

struct MessageCase {
    const char* name;
    std::uint64_t size;
    std::string data;
    std::string printedSize;
    std::string escapedData;
};

class ScanMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(ScanMessage, IsExactlyTheFormattedPrint) {
    const MessageCase& c = GetParam();
    EXPECT_EQ(enJsonFormat(c.size, c.data), expectedMessage(c.printedSize, c.escapedData));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanMessage,
    testing::Values(
        MessageCase{"Plain", 6, "ABC123", "6", "ABC123"},
        MessageCase{"Empty", 0, "", "0", ""},
        MessageCase{"LineEnd", 8, "ABC123\r\n", "8", "ABC123\\r\\n"},
        MessageCase{"QuoteAndBackslash", 4, "a\"b\\", "4", "a\\\"b\\\\"},
        MessageCase{"NamedControls", 3, "\b\f\t", "3", "\\b\\f\\t"},
        MessageCase{"OtherControls", 3, "\x1d\x0b\x01", "3", "\\u001d\\u000b\\u0001"},
        MessageCase{"SlashAndDelete", 2, "/\x7f", "2", "/\x7f"},
        MessageCase{"HighBytesUnchanged", 5, "\xE4\xB8\xAD\xD6\xD0", "5", "\xE4\xB8\xAD\xD6\xD0"},
        MessageCase{"ZeroEndsData", 5, std::string("AB\0CD", 5), "5", "AB"},
        MessageCase{"SizeIndependentOfData", 99, "A", "99", "A"},
        MessageCase{"LargeSizeStillDigits", 999999999999999ULL, "", "999999999999999", ""},
        MessageCase{"TenToTheFifteen", 1000000000000000ULL, "", "1e+15", ""},
        MessageCase{"NeedsSeventeenDigits", 18446744073709551615ULL, "", "1.8446744073709552e+19",
                    ""}),
    [](const testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

// The plain message's members, byte for byte, then the number (whole, as
// large as it gets), the time in UTC to the millisecond and the scanner.
TEST(NumberedScanMessage, AddsSeqTimeAndScannerAfterData) {
    using namespace std::chrono;
    const system_clock::time_point time = system_clock::time_point(seconds(1796790000) + milliseconds(123));
    const std::string plain = expectedMessage("7", "ABC\\\\123");
    const std::string numbered =
        numberedScanMessage(7, "ABC\\123", 9007199254740993ULL, time, "/dev/serial/by-id/usb-\"x\"");
    EXPECT_EQ(numbered, plain.substr(0, plain.size() - 2) +
                            ",\n\t\"seq\":\t9007199254740993,\n\t\"time\":\t\"2026-12-09T04:20:00.123Z\",\n\t"
                            "\"scanner\":\t\"/dev/serial/by-id/usb-\\\"x\\\"\"\n}");
    EXPECT_EQ(utcMilliseconds(system_clock::time_point(milliseconds(5))), "1970-01-01T00:00:00.005Z");
    // What the scan was read to say follows, its GS1 data in scan order
    // (not sorted: "17" before "10"), or why it is not GS1 data.
    ScanContent content{{Symbology{"]d2", "GS1 DataMatrix"}, "0112\x1d", {{"01", "9"}, {"17", "261231"}, {"10", "A\"B"}}, ""}, true};
    const std::string withContent = numberedScanMessage(3, "x", 1, time, "till-1", content);
    EXPECT_NE(withContent.find("\"scanner\":\t\"till-1\",\n\t\"symbology\":\t{\n\t\t\"id\":\t\"]d2\",\n\t\t\"name\":\t"
                               "\"GS1 DataMatrix\"\n\t},\n\t\"text\":\t\"0112\\u001d\",\n\t\"gs1\":\t{\n\t\t\"01\":\t\"9\",\n\t\t"
                               "\"17\":\t\"261231\",\n\t\t\"10\":\t\"A\\\"B\"\n\t}\n}"),
              std::string::npos)
        << withContent;
    content = {{std::nullopt, "", {}, "AI 01: wrong check digit"}, false};
    EXPECT_NE(numberedScanMessage(3, "x", 1, time, "till-1", content)
                  .find("\"scanner\":\t\"till-1\",\n\t\"gs1_error\":\t\"AI 01: wrong check digit\"\n}"),
              std::string::npos);
}

// An allocator that fails once a given number of allocations has succeeded.
int allocationsLeft = 0;
void* failingMalloc(std::size_t size) { return allocationsLeft-- > 0 ? malloc(size) : nullptr; }

TEST(ScanMessageOutOfMemory, EveryFailingAllocationGivesAnEmptyResult) {
    cJSON_Hooks hooks{failingMalloc, free};
    cJSON_InitHooks(&hooks);
    std::string message;
    int allowed = 0;
    for (; allowed < 100 && message.empty(); ++allowed) {
        allocationsLeft = allowed;
        message = enJsonFormat(6, "ABC123");
    }
    cJSON_InitHooks(nullptr);
    EXPECT_GT(allowed, 5) << "building never failed";
    EXPECT_EQ(message, expectedMessage("6", "ABC123"));
}

}  // namespace
