// EAN-13, UPC-A, EAN-8 and UPC-E: the retail barcodes whose digits are a
// GTIN, which GS1 data gives as AI 01 in 14 digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The GTIN-14 of 8, 12 or 13 digits whose check digit is right.
std::optional<std::string> gtinOfDigits(std::string_view digits);

// The GTIN-14 of a UPC-E's 8 digits (number system 0 or 1, six digits, the
// check digit of the UPC-A it stands for), when the check digit is right.
std::optional<std::string> gtinOfUpcE(std::string_view digits);
