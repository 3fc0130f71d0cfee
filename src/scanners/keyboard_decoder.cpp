#include "keyboard_decoder.h"

#include "text/charset.h"

#include <utility>

namespace {

// The keypad's digit keys, 0 to 9, or -1.
int keypadDigit(int code) {
    switch (code) {
    case KEY_KP0: return 0;
    case KEY_KP1: return 1;
    case KEY_KP2: return 2;
    case KEY_KP3: return 3;
    case KEY_KP4: return 4;
    case KEY_KP5: return 5;
    case KEY_KP6: return 6;
    case KEY_KP7: return 7;
    case KEY_KP8: return 8;
    case KEY_KP9: return 9;
    default: return -1;
    }
}

}  // namespace

KeyboardDecoder::KeyboardDecoder(KeyLayout& layout, std::string altCodepage)
    : layout_(layout), altCodepage_(std::move(altCodepage)) {}

std::optional<std::string> KeyboardDecoder::take(const input_event& event) {
    if (event.type == EV_SYN) {
        if (event.code == SYN_DROPPED) {
            dropping_ = true;
            spoiled_ = true;
            text_.clear();
            altDigits_.clear();
        } else if (event.code == SYN_REPORT && dropping_) {
            // Keys may have gone up or down unseen: start from all up.
            dropping_ = false;
            altHeld_ = false;
            layout_.reset();
        }
        return std::nullopt;
    }
    if (dropping_ || event.type != EV_KEY || event.value == 2) return std::nullopt;  // 2: autorepeat
    if (event.code == KEY_LEFTALT) {
        altHeld_ = event.value == 1;
        layout_.key(event.code, altHeld_);
        return altHeld_ ? std::nullopt : endAltCode();
    }
    if (event.value == 0) {
        layout_.key(event.code, false);
        return std::nullopt;
    }
    return press(event.code);
}

std::optional<std::string> KeyboardDecoder::press(int code) {
    if (altHeld_) {
        // Alt with the keypad's digits is a character's number; Alt with any
        // other key types nothing.
        const int digit = keypadDigit(code);
        if (digit >= 0 && altDigits_.size() < 4) altDigits_ += static_cast<char>('0' + digit);
        layout_.key(code, true);
        return std::nullopt;
    }
    // Keypad digits are digits whatever Num Lock's state, which the service
    // cannot know: scanners that emulate the keypad mean the digits.
    if (const int digit = keypadDigit(code); digit >= 0) {
        layout_.key(code, true);
        return addTyped(std::string(1, static_cast<char>('0' + digit)));
    }
    if (code == KEY_ENTER || code == KEY_KPENTER || code == KEY_TAB) {
        layout_.key(code, true);
        return addTyped(code == KEY_TAB ? "\t" : "\r", true);
    }
    return addTyped(layout_.key(code, true));
}

std::optional<std::string> KeyboardDecoder::endAltCode() {
    if (altDigits_.empty()) return std::nullopt;
    const int number = std::stoi(altDigits_) % 256;
    const bool windows = altDigits_[0] == '0';
    altDigits_.clear();
    if (number == 0) return std::nullopt;
    return addTyped(altCharacter(windows, static_cast<unsigned char>(number)));
}

const std::string& KeyboardDecoder::altCharacter(bool windows, unsigned char number) {
    std::optional<std::string>& character = (windows ? windowsCharacters_ : oemCharacters_)[number];
    if (!character) character = singleByteToUtf8(windows ? "WINDOWS-1252" : altCodepage_.c_str(), number);
    return *character;
}

// Whatever the key, a scan that reaches the bound ends there; a character
// that would cross it begins the next scan, whole.
std::optional<std::string> KeyboardDecoder::addTyped(const std::string& typed, bool endsScan) {
    std::optional<std::string> ended;
    if (text_.size() + typed.size() > kMaxScanBytes) ended = finish();
    text_ += typed;
    if (!ended && (endsScan || text_.size() >= kMaxScanBytes)) ended = finish();
    return ended;
}

std::optional<std::string> KeyboardDecoder::endAtSilence() {
    if (!typing()) return std::nullopt;
    return finish();
}

std::optional<std::string> KeyboardDecoder::finish() {
    if (spoiled_) {
        spoiled_ = false;
        lost_ = true;
        text_.clear();
        return std::nullopt;
    }
    return std::exchange(text_, std::string());
}

bool KeyboardDecoder::takeLoss() { return std::exchange(lost_, false); }
