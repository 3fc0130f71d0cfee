#include "utf8/utf8.h"

std::size_t utf8SequenceLength(const unsigned char* bytes, std::size_t left) {
    if (left == 0) return 0;
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char min2 = 0x80, max2 = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) min2 = 0xA0;  // overlong
        if (lead == 0xED) max2 = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) min2 = 0x90;  // overlong
        if (lead == 0xF4) max2 = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (left < length || bytes[1] < min2 || bytes[1] > max2) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
    return length;
}

bool isValidUtf8(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t at = 0; at < length;) {
        const std::size_t sequence = utf8SequenceLength(bytes + at, length - at);
        if (sequence == 0) return false;
        at += sequence;
    }
    return true;
}
