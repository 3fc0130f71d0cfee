#include "keyboard_records.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

using Records = std::vector<input_event>;

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

void key(Records& records, unsigned short code, int value) {
    records.push_back(keyRecord(EV_KEY, code, value));
    records.push_back(keyRecord(EV_SYN, SYN_REPORT, 0));
}

// The length of the UTF-8 character that `lead` starts; 1 for a byte that
// starts none, which the conversion then refuses.
std::size_t characterLength(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// One character (UTF-8) as its Windows-1252 byte; 0 when that code page
// lacks it.
unsigned char windows1252(std::string_view character) {
    iconv_t converter = iconv_open("WINDOWS-1252", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return 0;
    std::string input(character);
    char* in = input.data();
    size_t inLeft = input.size();
    char byte = 0;
    char* out = &byte;
    size_t outLeft = 1;
    const bool whole = iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(converter);
    return whole ? static_cast<unsigned char>(byte) : 0;
}

// Left Alt held while the keypad types 0 and the byte's number.
void typeAltCode(Records& records, unsigned char byte) {
    static const unsigned short keypad[] = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                            KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};
    key(records, KEY_LEFTALT, 1);
    for (const int digit : {0, byte / 100, byte / 10 % 10, byte % 10}) {
        key(records, keypad[digit], 1);
        key(records, keypad[digit], 0);
    }
    key(records, KEY_LEFTALT, 0);
}

// The records that type one character; false when it cannot be typed.
bool typeCharacter(Records& records, std::string_view character) {
    KeyStroke stroke{};
    if (character.size() == 1 && strokeFor(character[0], stroke)) {
        if (stroke.shift) key(records, KEY_LEFTSHIFT, 1);
        key(records, stroke.code, 1);
        key(records, stroke.code, 0);
        if (stroke.shift) key(records, KEY_LEFTSHIFT, 0);
        return true;
    }
    const unsigned char byte = windows1252(character);
    if (byte == 0) return false;
    typeAltCode(records, byte);
    return true;
}

// The records that type the text; false when some character cannot be typed
// (it is left out).
bool typeText(std::string_view text, Records& records) {
    bool whole = true;
    while (!text.empty()) {
        const std::size_t length = std::min(characterLength(static_cast<unsigned char>(text[0])), text.size());
        whole = typeCharacter(records, text.substr(0, length)) && whole;
        text.remove_prefix(length);
    }
    return whole;
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
    Records records;
    typeText(text, records);
    return records;
}

bool typeable(std::string_view text) {
    Records ignored;
    return typeText(text, ignored);
}

std::string recordBytes(const std::vector<input_event>& records) {
    return std::string(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(input_event));
}

VirtualKeyboardScanner::VirtualKeyboardScanner(std::string path) : path_(std::move(path)) {
    // Where stable names of input devices live, as udev makes them.
    for (std::size_t slash = path_.find('/', 1); slash != std::string::npos; slash = path_.find('/', slash + 1))
        mkdir(path_.substr(0, slash).c_str(), 0755);
    plug();
}

VirtualKeyboardScanner::~VirtualKeyboardScanner() { unplug(); }

void VirtualKeyboardScanner::plug() {
    unlink(path_.c_str());
    if (mkfifo(path_.c_str(), 0600) != 0) return;
    // Read and write: opening never waits for a reader, and writes wait in
    // the FIFO until the service reads them.
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
}

void VirtualKeyboardScanner::unplug() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
}

bool VirtualKeyboardScanner::type(std::string_view text) {
    Records records;
    return typeText(text, records) && send(records);
}

bool VirtualKeyboardScanner::send(const std::vector<input_event>& records) {
    const std::string bytes = recordBytes(records);
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t written = write(fd_, bytes.data() + at, bytes.size() - at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += static_cast<std::size_t>(written);
    }
    return true;
}
