// Keyboard-mode scanners: event records into scans, by the layout the
// scanner is set to.
#include "input_records.h"
#include "keyboard_decoder.h"
#include "keyboard_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Keyboard : public testing::Test {
protected:
    void useLayout(const std::string& name) {
        std::string problem;
        layout_ = KeyLayout::load(name, problem);
        ASSERT_TRUE(layout_) << problem;
        decoder_ = std::make_unique<KeyboardDecoder>(*layout_, "cp437");
    }
    void SetUp() override { useLayout("us"); }

    // The scans that the records end, each followed by "|".
    std::string scansOf(const std::vector<input_event>& records) {
        std::string scans;
        for (const input_event& record : records)
            if (const auto scan = decoder_->take(record)) scans += *scan + "|";
        return scans;
    }
    void key(std::vector<input_event>& records, unsigned short code, int value) {
        records.push_back(keyRecord(EV_KEY, code, value));
        records.push_back(keyRecord(EV_SYN, SYN_REPORT, 0));
    }

    std::unique_ptr<KeyLayout> layout_;
    std::unique_ptr<KeyboardDecoder> decoder_;
};

// Records cut anywhere by the reads arrive whole and in order; Shift, digits
// and punctuation, Enter and Tab ending scans; autorepeat types nothing;
// silence ends a scan without either.
TEST_F(Keyboard, UsTextFromRecordsSplitAcrossReads) {
    std::vector<input_event> sent = keyRecords("Ab1!-_/?\rID:42\t");
    sent.insert(sent.begin() + 2, keyRecord(EV_KEY, KEY_A, 2));  // Shift held long: autorepeat
    const std::string bytes = recordBytes(sent);
    InputRecords records;
    std::vector<input_event> got;
    for (std::size_t at = 0; at < bytes.size(); at += 7)
        for (const input_event& record : records.take(bytes.data() + at, std::min<std::size_t>(7, bytes.size() - at)))
            got.push_back(record);
    ASSERT_EQ(got.size(), sent.size());
    // The kernel's record: 16 bytes on 32-bit ARM whatever time_t's width
    // (the arm builds run this under qemu), 24 on 64-bit machines.
    EXPECT_EQ(sizeof(input_event), sizeof(long) == 4 ? 16u : 24u);
    EXPECT_EQ(scansOf(got), "Ab1!-_/?\r|ID:42\t|");
    EXPECT_FALSE(decoder_->typing());
    EXPECT_EQ(scansOf(keyRecords("NO-END")), "");
    EXPECT_EQ(decoder_->endAtSilence(), "NO-END");
    EXPECT_EQ(decoder_->endAtSilence(), std::nullopt);
    // A device that never pauses: the scan ends at its bound, the rest
    // follows; a character that would cross the bound (here typed as an Alt
    // code) begins the next scan whole.
    std::string accents;
    for (int i = 0; i < 2100; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(scansOf(keyRecords("x" + accents)), "x" + accents.substr(0, 4094) + "|");
    EXPECT_EQ(decoder_->endAtSilence(), accents.substr(4094));
}

TEST_F(Keyboard, CapsLockControlAndAltCodes) {
    std::vector<input_event> records;
    key(records, KEY_CAPSLOCK, 1);
    key(records, KEY_CAPSLOCK, 0);
    for (const auto& record : keyRecords("ab")) records.push_back(record);
    key(records, KEY_CAPSLOCK, 1);
    key(records, KEY_CAPSLOCK, 0);
    key(records, KEY_LEFTCTRL, 1);  // Ctrl+] is the GS1 group separator
    key(records, KEY_RIGHTBRACE, 1);
    key(records, KEY_RIGHTBRACE, 0);
    key(records, KEY_LEFTCTRL, 0);
    // Alt and 130 on the keypad: cp437's é; Alt and 0233: Windows-1252's é.
    for (const auto& digits : {std::vector<unsigned short>{KEY_KP1, KEY_KP3, KEY_KP0},
                               std::vector<unsigned short>{KEY_KP0, KEY_KP2, KEY_KP3, KEY_KP3}}) {
        key(records, KEY_LEFTALT, 1);
        for (const unsigned short digit : digits) {
            key(records, digit, 1);
            key(records, digit, 0);
        }
        key(records, KEY_LEFTALT, 0);
    }
    key(records, KEY_KP4, 1);  // keypad digits, whatever Num Lock says
    key(records, KEY_KP2, 1);
    key(records, KEY_ENTER, 1);
    EXPECT_EQ(scansOf(records), "AB\x1d\xC3\xA9\xC3\xA9" "42\r|");
}

// A scanner set to the French layout: the key that types "a" on a US
// keyboard is "q", and digits take Shift.
TEST_F(Keyboard, FrenchLayoutThroughTheSystemsKeymaps) {
    useLayout("fr");
    std::vector<input_event> records;
    key(records, KEY_Q, 1);
    key(records, KEY_1, 1);
    key(records, KEY_LEFTSHIFT, 1);
    key(records, KEY_1, 1);
    key(records, KEY_LEFTSHIFT, 0);
    key(records, KEY_ENTER, 1);
    EXPECT_EQ(scansOf(records), "a&1\r|");
    std::string problem;
    EXPECT_FALSE(KeyLayout::load("klingon", problem));
    EXPECT_NE(problem.find("klingon"), std::string::npos);
}

// Events the kernel dropped spoil the scan under way: it is dropped, once,
// and the next one comes whole.
TEST_F(Keyboard, DroppedEventsDropTheScanUnderWay) {
    std::vector<input_event> records = keyRecords("LOS");
    records.push_back(keyRecord(EV_SYN, SYN_DROPPED, 0));
    records.push_back(keyRecord(EV_KEY, KEY_A, 1));  // up to the next report: lost too
    records.push_back(keyRecord(EV_SYN, SYN_REPORT, 0));
    for (const auto& record : keyRecords("T\rNEXT\r")) records.push_back(record);
    EXPECT_EQ(scansOf(records), "NEXT\r|");
    EXPECT_TRUE(decoder_->takeLoss());
    EXPECT_FALSE(decoder_->takeLoss());
}

}  // namespace
