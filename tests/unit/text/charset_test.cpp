#include "text/charset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Converted {
    int result;
    std::string output;  // the whole output capacity
    std::string printed;
};

Converted convertInMode(int mode, const std::string& input, std::size_t capacity = 64) {
    SelectEncoding = mode;
    std::string output(capacity, 'x');
    testing::internal::CaptureStdout();
    const int result = g2u(input.data(), input.size(), output.data(), capacity);
    fflush(stdout);
    return {result, output, testing::internal::GetCapturedStdout()};
}

std::string zeroPadded(std::string text, std::size_t capacity = 64) {
    text.resize(capacity, '\0');
    return text;
}

const std::string kBothLines =
    "[func:code_convert]----next is iconv \n[func:code_convert]----iconv is over \n";
const std::string kFirstLineOnly = "[func:code_convert]----next is iconv \n";

struct ConversionCase {
    const char* name;
    int mode;
    std::string input;
    int result;
    std::string output;  // before the zero fill
};

class Conversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, GivesTheConvertedPrefixAndResult) {
    const ConversionCase& c = GetParam();
    const Converted converted = convertInMode(c.mode, c.input);
    EXPECT_EQ(converted.result, c.result);
    EXPECT_EQ(converted.output, zeroPadded(c.output));
    EXPECT_EQ(converted.printed, c.result == 0 ? kBothLines : kFirstLineOnly);
}

const std::string kZhong = "\xD6\xD0";            // 中 in GB2312
const std::string kZhongUtf8 = "\xE4\xB8\xAD";
const std::string kGbkOnly = "\x88\xD2";           // 堃: GBK and GB18030, not GB2312
const std::string kGbkOnlyUtf8 = "\xE5\xA0\x83";

INSTANTIATE_TEST_SUITE_P(
    Modes, Conversion,
    testing::Values(
        ConversionCase{"AsciiMode1", 1, "ABC123\r\n", 0, "ABC123\r\n"},
        ConversionCase{"Gb2312ToUtf8", 0, kZhong, 0, kZhongUtf8},
        // glibc's direct GB2312-to-GBK converter takes a character that ends
        // the input for a cut-off one; the relay's input always ends in zero.
        ConversionCase{"Gb2312ToGbkUnchanged", 1, kZhong + '\0', 0, kZhong},
        ConversionCase{"Gb18030ToUtf8", 2, kZhong, 0, kZhongUtf8},
        ConversionCase{"GbkOnlyStopsMode0", 0, "A" + kGbkOnly + "B", -1, "A"},
        // ...and it copies GBK's own characters through rather than stopping.
        ConversionCase{"GbkOnlyKeptMode1", 1, "A" + kGbkOnly + "B" + '\0', 0, "A" + kGbkOnly + "B"},
        ConversionCase{"GbkOnlyConvertsMode2", 2, "A" + kGbkOnly + "B", 0, "A" + kGbkOnlyUtf8 + "B"},
        ConversionCase{"CutOffLeadByte", 0, "AB\xD6", -1, "AB"},
        ConversionCase{"EmptyInput", 0, "", 0, ""},
        ConversionCase{"TerminatingZeroKept", 0, std::string("AB\0", 3), 0, "AB"},
        ConversionCase{"ZeroInsideConvertedLikeAnyByte", 2, std::string("A\0B", 3), 0,
                       std::string("A\0B", 3)}),
    [](const testing::TestParamInfo<ConversionCase>& info) { return info.param.name; });

TEST(Conversion, FullOutputKeepsWholeCharactersOnly) {
    const Converted converted = convertInMode(0, kZhong + kZhong, 4);
    EXPECT_EQ(converted.result, -1);
    EXPECT_EQ(converted.output, kZhongUtf8 + std::string(1, '\0'));
}

TEST(Conversion, WithoutAValidModeNothingIsTouched) {
    for (int mode : {-1, 3}) {
        const Converted converted = convertInMode(mode, "ABC");
        EXPECT_EQ(converted.result, -1) << mode;
        EXPECT_EQ(converted.output, std::string(64, 'x')) << mode;
        EXPECT_EQ(converted.printed, "") << mode;
    }
}

// Under the leak checker this also shows that every converter is closed.
TEST(Conversion, ManyFailuresLeaveNoConverterOpen) {
    SelectEncoding = 0;
    char output[16];
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(g2u("\x88\xD2", 2, output, sizeof output), -1);
    testing::internal::GetCapturedStdout();
}

struct BoundaryCase {
    int mode;
    std::string bytes;
    std::uint64_t complete;
};

TEST(CharacterBoundary, IncompleteLastCharacterIsLeftOut) {
    const std::vector<BoundaryCase> cases = {
        {0, "AB", 2},
        {0, "A" + kZhong, 3},
        {0, "A\xD6", 1},
        {1, kZhong + "\xD6", 2},
        {2, "A\x81\x30\x81\x30", 5},  // a four-byte GB18030 character
        {2, "A\x81\x30\x81", 1},
        {2, "A\x81\x30", 1},
        {2, "A\x81", 1},
        {0, "A\x81\x30", 3},  // GB2312 has no four-byte forms
    };
    for (const auto& c : cases) {
        SelectEncoding = c.mode;
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(completeCharactersLength(bytes, c.bytes.size()), c.complete)
            << "mode " << c.mode << ", " << c.bytes.size() << " bytes";
    }
}

// With --invalid stop a scan's text ends early, as code_convert's always
// did, console lines and all; it is told where, in the scan's own bytes.
TEST(ScanConversion, StopTellsWhereTheTextEnded) {
    struct Case {
        int mode;
        const char* charset;
        std::string scan;
        std::string text;
        std::optional<std::uint64_t> cutAt;
    };
    const std::string ucs4 = std::string("\0\0\0A\0\x11\0\0\0\0\0B", 12);  // U+110000 is past Unicode
    const std::vector<Case> cases = {
        {0, "", "CAF\xC9-123", "CAF", 3},           // Latin-1's É, to GB2312
        {0, "", "AB\xD6", "AB", 2},                 // a lead byte cut off at the end
        {0, "", "AB" + kZhong, "AB" + kZhongUtf8, std::nullopt},
        {0, "utf-8", "A\xF8\x88\x80\x80\x80", "A", 1},
        {1, "utf-8", "A\xF0\x9F\x98\x80" "B", "A", 1},  // GBK lacks it
        {0, "UCS-4BE", ucs4, "A", 4},                 // glibc writes it as UTF-8 all the same
    };
    for (const Case& c : cases) {
        SelectEncoding = c.mode;
        std::string scan = c.scan + std::string(c.charset == std::string("UCS-4BE") ? 4 : 1, '\0');
        std::string output(64, 'x');
        testing::internal::CaptureStdout();
        const ScanConversion conversion = convertScan(ScanCharsets{c.charset, InvalidBytes::Stop}, scan.data(),
                                                      scan.size(), output.data(), output.size());
        fflush(stdout);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(output, zeroPadded(c.text)) << c.scan;
        EXPECT_EQ(conversion.cutAt, c.cutAt) << c.scan;
        EXPECT_FALSE(conversion.replaced);
        EXPECT_EQ(printed, c.charset == std::string("UCS-4BE") || !c.cutAt ? kBothLines : kFirstLineOnly) << c.scan;
    }
}

}  // namespace
