// The text component: what a scan's bytes become on their way to clients:
// conversion from the scanner's charset (here) and the JSON scan message
// (scan_message.h). It uses the utf8 component and the console.
//
// Conversion of scanner text from its Chinese code page, through iconv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The conversion mode chosen on the command line; -1 until start-up sets it.
//   0: GB2312 to UTF-8   1: GB2312 to GBK   2: GB18030 to UTF-8
extern int SelectEncoding;

// Converts inputLength bytes from one charset to another into output, which
// is zero-filled over its whole capacity first. Stops at the first sequence
// the converter rejects or when the output is full; the output then holds the
// whole characters converted so far. 0 on success, -1 otherwise.
int code_convert(const char* fromCharset, const char* toCharset, const char* input,
                 std::uint64_t inputLength, char* output, std::uint64_t outputCapacity);

// code_convert by the current conversion mode; -1 without touching output
// when no valid mode is set.
int g2u(const char* input, std::uint64_t inputLength, char* output, std::uint64_t outputCapacity);

// UTF-8 to GB2312. Negative lengths are refused with -1.
int u2g(const char* input, int inputLength, char* output, int outputCapacity);

// The length of the longest prefix of `length` bytes that ends on a character
// boundary of the current mode's source charset; the bytes after it are the
// beginning of a character whose remaining bytes have not arrived yet.
std::uint64_t completeCharactersLength(const unsigned char* bytes, std::uint64_t length);
// The same in any charset iconv knows; single-byte charsets never leave a
// character incomplete.
std::uint64_t completeCharactersLength(const char* charset, const unsigned char* bytes, std::uint64_t length);

// What to do with bytes the scanner's charset rejects, and with characters
// the clients' charset cannot hold.
enum class InvalidBytes {
    Stop,     // the conversion ends there; the rest of the scan is dropped
    Replace,  // U+FFFD (? in GBK) stands for them, and the rest follows
};

// How scans are converted: the scanner's charset (empty: the mode's own)
// into the mode's charset for clients.
struct ScanCharsets {
    std::string scanner;
    InvalidBytes invalid = InvalidBytes::Stop;

    // The charset the scanner sends in, by the current mode unless given.
    std::string source() const;
};

// Whether iconv can convert from this charset.
bool knownCharset(const char* name);

// One byte of a single-byte charset (an OEM code page, say) in UTF-8; ""
// when the charset has no character there.
std::string singleByteToUtf8(const char* charset, unsigned char byte);

// What became of one scan's bytes on the way to the clients' charset.
struct ScanConversion {
    bool replaced = false;  // some stand replaced (InvalidBytes::Replace)
    // The text ended early (InvalidBytes::Stop): it holds the scan's bytes
    // before this one, counted from 0, which the charsets could not take
    // (or which began a character cut off at the end of the scan).
    std::optional<std::uint64_t> cutAt;
};

// Converts one scan as the charsets say, into output zero-filled over its
// capacity; by default exactly g2u.
ScanConversion convertScan(const ScanCharsets& charsets, const char* input, std::uint64_t inputLength, char* output,
                           std::uint64_t outputCapacity);
