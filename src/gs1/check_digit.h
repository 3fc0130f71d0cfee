// GS1's mod-10 check digit (GTIN, SSCC, GLN, GSIN, ...).
#pragma once

#include <string_view>

// Whether the last of these digits is the check digit of those before:
// weights 3 and 1 alternating from the right, the sum made up to a
// multiple of ten.
bool hasValidCheckDigit(std::string_view digits);
