#include "text/charset.h"

#include "console/console_lines.h"
#include "utf8/utf8.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

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

const char kReplacementUtf8[] = "\xEF\xBF\xBD";  // U+FFFD

// An open converter, closed when it goes.
class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    // One iconv call; false with errno set when it stopped early.
    bool run(const char*& in, std::size_t& inLeft, char*& out, std::size_t& outLeft) {
        char* input = const_cast<char*>(in);  // iconv never writes through it
        const bool whole = iconv(handle_, &input, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1);
        in = input;
        return whole;
    }
    void reset() { iconv(handle_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t handle_;
};

bool isUtf8Name(const std::string& charset) {
    return strcasecmp(charset.c_str(), "utf-8") == 0 || strcasecmp(charset.c_str(), "utf8") == 0;
}

// Whether a charset is UTF-8, under whichever of its names iconv knows
// (UTF8, ISO-10646/UTF8/, ...): it passes UTF-8 through unchanged. Asked
// once per thread and name.
bool decodesAsUtf8(const std::string& charset) {
    thread_local std::string asked;
    thread_local bool answer = false;
    if (charset == asked) return answer;
    static const char probe[] = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
    Converter converter("utf-8", charset.c_str());
    char output[64] = {};
    const char* in = probe;
    std::size_t inLeft = sizeof probe - 1;
    char* out = output;
    std::size_t outLeft = sizeof output;
    answer = converter.ok() && converter.run(in, inLeft, out, outLeft) &&
             std::string(output, out) == std::string(probe, sizeof probe - 1);
    asked = charset;
    return answer;
}

// How many of the `length` bytes at `text` are well-formed UTF-8 before the
// first byte that starts no well-formed character.
std::size_t wellFormedUtf8Length(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t at = 0;
    std::size_t sequence;
    while (at < length && (sequence = utf8SequenceLength(bytes + at, length - at)) != 0) at += sequence;
    return at;
}

// Text frames must be well-formed UTF-8, whatever the scanner's charset let
// through: from the first byte that starts no well-formed character, each
// such byte becomes U+FFFD. `text` is zero-terminated within `capacity`.
// Returns whether anything was replaced.
bool replaceIllFormedUtf8(char* text, std::size_t capacity) {
    const std::size_t length = strnlen(text, capacity);
    auto* bytes = reinterpret_cast<unsigned char*>(text);
    const std::size_t at = wellFormedUtf8Length(text, length);
    std::size_t sequence;
    if (at == length) return false;
    std::string mended(text, at);
    for (std::size_t i = at; i < length;) {
        sequence = utf8SequenceLength(bytes + i, length - i);
        if (sequence == 0) {
            mended += kReplacementUtf8;
            ++i;
        } else {
            mended.append(text + i, sequence);
            i += sequence;
        }
    }
    std::size_t kept = std::min(mended.size(), capacity - 1);
    while (kept > 0 && kept < mended.size() && (static_cast<unsigned char>(mended[kept]) & 0xC0) == 0x80) --kept;
    memset(text, 0, capacity);
    memcpy(text, mended.data(), kept);
    return true;
}

// glibc's UTF-8 decoder takes the old five- and six-byte forms and code
// points past U+10FFFF, and its encoder writes them out again: bytes that a
// browser refuses in a text frame, closing the connection. So a scanner's
// UTF-8 is checked here: every byte that starts no well-formed character
// becomes 0xFF, which iconv rejects like any other invalid byte.
std::string withIllFormedUtf8Marked(const char* input, std::size_t length) {
    std::string checked(input, length);
    auto* bytes = reinterpret_cast<unsigned char*>(checked.data());
    for (std::size_t at = 0; at < length;) {
        const std::size_t sequence = utf8SequenceLength(bytes + at, length - at);
        if (sequence == 0) bytes[at++] = 0xFF;
        else at += sequence;
    }
    return checked;
}

// Converts all it can; every rejected byte becomes `replacement`, and a
// sequence cut off at the end of the input too. `skip` tells how many bytes
// a rejected character takes. Stops when the output is full. Returns whether
// anything was replaced.
template <class Skip>
bool convertReplacing(Converter& converter, const char* in, std::size_t inLeft, char*& out, std::size_t& outLeft,
                      const std::string& replacement, Skip skip) {
    bool replaced = false;
    while (inLeft > 0 && !converter.run(in, inLeft, out, outLeft)) {
        if (errno == E2BIG || outLeft < replacement.size()) break;
        memcpy(out, replacement.data(), replacement.size());
        out += replacement.size();
        outLeft -= replacement.size();
        replaced = true;
        if (errno == EINVAL) break;  // cut off: nothing follows
        const std::size_t skipped = std::min(inLeft, skip(in, inLeft));
        in += skipped;
        inLeft -= skipped;
        converter.reset();
    }
    return replaced;
}

std::size_t oneByte(const char*, std::size_t) { return 1; }

std::size_t oneUtf8Character(const char* in, std::size_t left) {
    return std::max<std::size_t>(1, utf8SequenceLength(reinterpret_cast<const unsigned char*>(in), left));
}

void printProgress(const char* step) { consoleOut(LineKind::Chatter, "[func:code_convert]----%s \n", step); }

// The scan's bytes that convert into the first `outputLength` bytes of its
// text: iconv stops at the character that no longer fits.
std::uint64_t bytesBehind(const std::string& from, const char* to, const char* input, std::uint64_t inputLength,
                          std::size_t outputLength) {
    Converter converter(to, from.c_str());
    std::string scratch(outputLength, '\0');
    const char* in = input;
    std::size_t inLeft = inputLength;
    char* out = scratch.data();
    std::size_t outLeft = outputLength;
    if (!converter.ok()) return 0;
    converter.run(in, inLeft, out, outLeft);
    return inputLength - inLeft;
}

// What code_convert does, console lines and all: one iconv call, the text
// ending at the first sequence the converter rejects. Returns how many of
// the input bytes it converted (all of them when it went through), or
// nothing when there is no such converter.
std::optional<std::uint64_t> convertCounting(const char* fromCharset, const char* toCharset, const char* input,
                                             std::uint64_t inputLength, char* output, std::uint64_t outputCapacity) {
    Converter converter(toCharset, fromCharset);
    if (!converter.ok()) return std::nullopt;
    memset(output, 0, outputCapacity);
    printProgress("next is iconv");
    const char* in = input;
    std::size_t inLeft = inputLength;
    char* out = output;
    std::size_t outLeft = outputCapacity;
    if (!converter.run(in, inLeft, out, outLeft)) return inputLength - inLeft;
    printProgress("iconv is over");
    return inputLength;
}

// --invalid stop: code_convert's conversion, and where the text ended. A
// text frame must be well-formed UTF-8 too: it ends before anything else.
ScanConversion convertStopping(const std::string& from, const char* to, bool utf8Out, const char* input,
                               std::uint64_t inputLength, char* output, std::uint64_t outputCapacity) {
    const std::optional<std::uint64_t> converted =
        convertCounting(from.c_str(), to, input, inputLength, output, outputCapacity);
    if (!converted) return {};
    ScanConversion conversion;
    if (*converted < inputLength) conversion.cutAt = *converted;
    if (!utf8Out) return conversion;
    const std::size_t length = strnlen(output, outputCapacity);
    const std::size_t wellFormed = wellFormedUtf8Length(output, length);
    if (wellFormed == length) return conversion;
    memset(output + wellFormed, 0, outputCapacity - wellFormed);
    conversion.cutAt = bytesBehind(from, to, input, inputLength, wellFormed);
    return conversion;
}

}  // namespace

int code_convert(const char* fromCharset, const char* toCharset, const char* input,
                 std::uint64_t inputLength, char* output, std::uint64_t outputCapacity) {
    const std::optional<std::uint64_t> converted =
        convertCounting(fromCharset, toCharset, input, inputLength, output, outputCapacity);
    return converted && *converted == inputLength ? 0 : -1;
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
    const CharsetPair* charsets = charsetsOfMode(SelectEncoding);
    return completeCharactersLength(charsets ? charsets->from : "gb18030", bytes, length);
}

std::uint64_t completeCharactersLength(const char* charset, const unsigned char* bytes, std::uint64_t length) {
    // Converted to UTF-8 in pieces, skipping what the charset rejects: only
    // a sequence that the end of the bytes cuts off leaves iconv waiting for
    // more (EINVAL), and that is where the complete characters end.
    Converter converter("utf-8", charset);
    if (!converter.ok()) return length;
    const char* in = reinterpret_cast<const char*>(bytes);
    std::size_t inLeft = length;
    char scratch[1024];
    while (inLeft > 0) {
        char* out = scratch;
        std::size_t outLeft = sizeof scratch;
        if (converter.run(in, inLeft, out, outLeft)) break;
        if (errno == EINVAL) return length - inLeft;
        if (errno == EILSEQ) {
            ++in;
            --inLeft;
            converter.reset();
        }
    }
    return length;
}

std::string ScanCharsets::source() const {
    if (!scanner.empty()) return scanner;
    const CharsetPair* charsets = charsetsOfMode(SelectEncoding);
    return charsets ? charsets->from : "";
}

bool knownCharset(const char* name) { return Converter("utf-8", name).ok(); }

std::string singleByteToUtf8(const char* charset, unsigned char byte) {
    Converter converter("utf-8", charset);
    char utf8[8];
    const char* in = reinterpret_cast<const char*>(&byte);
    std::size_t inLeft = 1, outLeft = sizeof utf8;
    char* out = utf8;
    if (!converter.ok() || !converter.run(in, inLeft, out, outLeft)) return "";
    return std::string(utf8, sizeof utf8 - outLeft);
}

ScanConversion convertScan(const ScanCharsets& charsets, const char* input, std::uint64_t inputLength, char* output,
                           std::uint64_t outputCapacity) {
    const CharsetPair* mode = charsetsOfMode(SelectEncoding);
    if (mode == nullptr) return {};
    std::string checked;
    if (decodesAsUtf8(charsets.source())) {
        checked = withIllFormedUtf8Marked(input, inputLength);
        input = checked.data();
    }
    const bool utf8Out = isUtf8Name(mode->to);
    if (charsets.invalid == InvalidBytes::Stop) return convertStopping(charsets.source(), mode->to, utf8Out, input,
                                                                       inputLength, output, outputCapacity);
    memset(output, 0, outputCapacity);
    printProgress("next is iconv");
    // Through UTF-8, where every character fits: a rejected byte there is
    // one the scanner's charset lacks; on to GBK, one GBK cannot hold.
    Converter toUtf8("utf-8", charsets.source().c_str());
    if (!toUtf8.ok()) return {};
    std::string utf8(utf8Out ? 0 : outputCapacity * 2, '\0');
    char* out = utf8Out ? output : utf8.data();
    std::size_t outLeft = utf8Out ? outputCapacity : utf8.size();
    bool replaced = convertReplacing(toUtf8, input, inputLength, out, outLeft, kReplacementUtf8, oneByte);
    if (!utf8Out) {
        utf8.resize(utf8.size() - outLeft);
        Converter toTarget(mode->to, "utf-8");
        char* target = output;
        std::size_t targetLeft = outputCapacity;
        replaced |= convertReplacing(toTarget, utf8.data(), utf8.size(), target, targetLeft, "?", oneUtf8Character);
    } else {
        replaced |= replaceIllFormedUtf8(output, outputCapacity);
    }
    printProgress("iconv is over");
    return {replaced, std::nullopt};
}
