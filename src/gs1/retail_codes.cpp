#include "retail_codes.h"

#include "check_digit.h"

namespace {

// UPC-E's six digits as the manufacturer and item digits of a UPC-A: the
// last digit says where the suppressed zeros were.
std::string upcABody(std::string_view six) {
    const std::string d(six);
    switch (six[5]) {
    case '0':
    case '1':
    case '2': return d.substr(0, 2) + d[5] + "0000" + d.substr(2, 3);
    case '3': return d.substr(0, 3) + "00000" + d.substr(3, 2);
    case '4': return d.substr(0, 4) + "00000" + d[4];
    default: return d.substr(0, 5) + "0000" + d[5];
    }
}

}  // namespace

std::optional<std::string> gtinOfDigits(std::string_view digits) {
    const std::size_t length = digits.size();
    if ((length != 8 && length != 12 && length != 13) || !allDigits(digits) || !hasValidCheckDigit(digits))
        return std::nullopt;
    return std::string(14 - length, '0') + std::string(digits);
}

std::optional<std::string> gtinOfUpcE(std::string_view digits) {
    if (digits.size() != 8 || !allDigits(digits) || (digits[0] != '0' && digits[0] != '1')) return std::nullopt;
    const std::string upcA = digits[0] + upcABody(digits.substr(1, 6)) + digits[7];
    return gtinOfDigits(upcA);
}
