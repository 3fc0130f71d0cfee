// The utf8 component: UTF-8 as RFC 3629 and the WebSocket standard define
// it, for the console, the charsets and the broker's settings. It uses no
// other component.
#pragma once

#include <cstddef>

// The length of the well-formed UTF-8 sequence at the start of `bytes`
// (1 to 4), or 0 when it is not one: a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, or a cut-off sequence.
std::size_t utf8SequenceLength(const unsigned char* bytes, std::size_t left);

bool isValidUtf8(const char* text, std::size_t length);
