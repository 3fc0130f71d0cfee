// GS1's mod-10 check digit (GTIN, SSCC, GLN, GSIN, ...), and the digits
// it is taken over.
#pragma once

#include <string_view>

// Whether the last of these digits is the check digit of those before:
// weights 3 and 1 alternating from the right, the sum made up to a
// multiple of ten.
bool hasValidCheckDigit(std::string_view digits);

// Whether `text` is one or more of the ASCII digits 0 to 9.
bool allDigits(std::string_view text);
