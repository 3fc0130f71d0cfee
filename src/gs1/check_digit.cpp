#include "check_digit.h"

bool allDigits(std::string_view text) {
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

bool hasValidCheckDigit(std::string_view digits) {
    if (digits.size() < 2) return false;
    int sum = 0;
    int weight = 3;
    for (std::size_t i = digits.size() - 1; i-- > 0;) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        sum += weight * (digits[i] - '0');
        weight = 4 - weight;
    }
    return (10 - sum % 10) % 10 == digits.back() - '0';
}
