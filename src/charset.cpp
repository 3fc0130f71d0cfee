#include "charset.h"

#include <iconv.h>

#include <cstdio>
#include <cstring>

int SelectEncoding = -1;

namespace {

struct CharsetPair {
    const char* from;
    const char* to;
};

const CharsetPair* charsetsOfMode(int mode) {
    static const CharsetPair modes[] = {
        {"gb2312", "utf-8"},
        {"gb2312", "gbk"},
        {"gb18030", "utf-8"},
    };
    if (mode < 0 || mode > 2) return nullptr;
    return &modes[mode];
}

bool isAsciiByte(unsigned char byte) { return byte < 0x80; }
bool isGb18030FourByteSecond(unsigned char byte) { return byte >= 0x30 && byte <= 0x39; }

}  // namespace

int code_convert(const char* fromCharset, const char* toCharset, const char* input,
                 std::uint64_t inputLength, char* output, std::uint64_t outputCapacity) {
    iconv_t converter = iconv_open(toCharset, fromCharset);
    if (converter == reinterpret_cast<iconv_t>(-1)) return -1;

    memset(output, 0, outputCapacity);
    printf("[func:%s]----next is iconv \n", __func__);

    char* in = const_cast<char*>(input);  // iconv never writes through it
    size_t inLeft = inputLength;
    char* out = output;
    size_t outLeft = outputCapacity;
    if (iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
        iconv_close(converter);
        return -1;
    }
    printf("[func:%s]----iconv is over \n", __func__);
    iconv_close(converter);
    return 0;
}

int g2u(const char* input, std::uint64_t inputLength, char* output, std::uint64_t outputCapacity) {
    const CharsetPair* charsets = charsetsOfMode(SelectEncoding);
    if (charsets == nullptr) return -1;
    return code_convert(charsets->from, charsets->to, input, inputLength, output, outputCapacity);
}

int u2g(const char* input, int inputLength, char* output, int outputCapacity) {
    // A negative length widened to 64 bits would ask for exabytes to be
    // zero-filled.
    if (inputLength < 0 || outputCapacity < 0) return -1;
    return code_convert("utf-8", "gb2312", input, static_cast<std::uint64_t>(inputLength), output,
                        static_cast<std::uint64_t>(outputCapacity));
}

std::uint64_t completeCharactersLength(const unsigned char* bytes, std::uint64_t length) {
    const bool fourByteForms = SelectEncoding == 2;
    std::uint64_t pos = 0;
    while (pos < length) {
        std::uint64_t width = 1;
        if (!isAsciiByte(bytes[pos])) {
            width = 2;
            if (fourByteForms && pos + 1 < length && isGb18030FourByteSecond(bytes[pos + 1]))
                width = 4;
        }
        if (pos + width > length) break;
        pos += width;
    }
    return pos;
}
