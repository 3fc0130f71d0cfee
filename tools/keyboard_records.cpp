#include "keyboard_records.h"

#include <cstring>
#include <utility>

namespace {

struct KeyStroke {
    unsigned short code;
    bool shift;
};

// US layout: which key, and whether with Shift, types `c`.
bool strokeFor(char c, KeyStroke& stroke) {
    static const char* const letters = "qwertyuiopasdfghjklzxcvbnm";
    static const unsigned short letterKeys[] = {
        KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O, KEY_P, KEY_A, KEY_S, KEY_D,
        KEY_F, KEY_G, KEY_H, KEY_J, KEY_K, KEY_L, KEY_Z, KEY_X, KEY_C, KEY_V, KEY_B, KEY_N, KEY_M};
    static const std::pair<char, KeyStroke> others[] = {
        {'1', {KEY_1, false}}, {'2', {KEY_2, false}}, {'3', {KEY_3, false}}, {'4', {KEY_4, false}},
        {'5', {KEY_5, false}}, {'6', {KEY_6, false}}, {'7', {KEY_7, false}}, {'8', {KEY_8, false}},
        {'9', {KEY_9, false}}, {'0', {KEY_0, false}}, {'!', {KEY_1, true}},  {'@', {KEY_2, true}},
        {'#', {KEY_3, true}},  {'$', {KEY_4, true}},  {'%', {KEY_5, true}},  {'&', {KEY_7, true}},
        {'*', {KEY_8, true}},  {'(', {KEY_9, true}},  {')', {KEY_0, true}},  {'-', {KEY_MINUS, false}},
        {'_', {KEY_MINUS, true}}, {'=', {KEY_EQUAL, false}}, {'+', {KEY_EQUAL, true}}, {'/', {KEY_SLASH, false}},
        {'?', {KEY_SLASH, true}}, {'.', {KEY_DOT, false}}, {',', {KEY_COMMA, false}}, {':', {KEY_SEMICOLON, true}},
        {';', {KEY_SEMICOLON, false}}, {' ', {KEY_SPACE, false}}, {'\r', {KEY_ENTER, false}},
        {'\t', {KEY_TAB, false}}};
    if (const char* at = c >= 'a' && c <= 'z' ? strchr(letters, c) : nullptr) {
        stroke = {letterKeys[at - letters], false};
        return true;
    }
    if (c >= 'A' && c <= 'Z') {
        strokeFor(static_cast<char>(c - 'A' + 'a'), stroke);
        stroke.shift = true;
        return true;
    }
    for (const auto& [character, key] : others)
        if (character == c) {
            stroke = key;
            return true;
        }
    return false;
}

}  // namespace

input_event keyRecord(unsigned short type, unsigned short code, int value) {
    input_event record{};
    record.type = type;
    record.code = code;
    record.value = value;
    return record;
}

std::vector<input_event> keyRecords(std::string_view text) {
    std::vector<input_event> records;
    auto key = [&records](unsigned short code, int value) {
        records.push_back(keyRecord(EV_KEY, code, value));
        records.push_back(keyRecord(EV_SYN, SYN_REPORT, 0));
    };
    for (const char c : text) {
        KeyStroke stroke{};
        if (!strokeFor(c, stroke)) continue;
        if (stroke.shift) key(KEY_LEFTSHIFT, 1);
        key(stroke.code, 1);
        key(stroke.code, 0);
        if (stroke.shift) key(KEY_LEFTSHIFT, 0);
    }
    return records;
}

std::string recordBytes(const std::vector<input_event>& records) {
    return std::string(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(input_event));
}
