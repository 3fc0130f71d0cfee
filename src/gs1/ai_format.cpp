#include "ai_format.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

std::size_t readNumber(std::string_view& text) {
    std::size_t number = 0;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        number = number * 10 + static_cast<std::size_t>(text[digits++] - '0');
    if (digits == 0) throw std::invalid_argument("a length is missing");
    text.remove_prefix(digits);
    return number;
}

ComponentCheck checkNamed(std::string_view name) {
    if (name == "csum") return ComponentCheck::CheckDigit;
    if (name == "yymmdd") return ComponentCheck::Date;
    if (name == "yymmd0") return ComponentCheck::DateDayMayBeZero;
    if (name == "hhmm") return ComponentCheck::TimeOfDay;
    if (name == "zero") return ComponentCheck::Zero;
    if (name == "pieceoftotal") return ComponentCheck::PieceOfTotal;
    throw std::invalid_argument("unknown check " + std::string(name));
}

// One component: "N6,yymmd0", "X..20", "[N..12]".
FormatComponent parseComponent(std::string_view text) {
    FormatComponent component;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        component.optional = true;
        text = text.substr(1, text.size() - 2);
    }
    if (text.empty() || (text[0] != 'N' && text[0] != 'X')) throw std::invalid_argument("unknown character set");
    component.characters = text[0] == 'N' ? CharacterSet::Digits : CharacterSet::Gs1Set82;
    text.remove_prefix(1);
    const bool variable = text.substr(0, 2) == "..";
    if (variable) text.remove_prefix(2);
    component.maxLength = readNumber(text);
    component.minLength = variable ? 1 : component.maxLength;
    if (!text.empty()) {
        if (text[0] != ',') throw std::invalid_argument("unexpected text after a length");
        component.check = checkNamed(text.substr(1));
    }
    return component;
}

}  // namespace

bool AiFormat::fixedLength() const {
    for (std::size_t i = 0; i < count; ++i)
        if (components[i].optional || components[i].minLength != components[i].maxLength) return false;
    return true;
}

std::size_t AiFormat::maxLength() const {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) length += components[i].maxLength;
    return length;
}

AiFormat parseAiFormat(std::string_view notation) {
    AiFormat format;
    while (!notation.empty()) {
        const std::size_t end = std::min(notation.find(' '), notation.size());
        if (format.count == format.components.size()) throw std::invalid_argument("too many components");
        format.components[format.count++] = parseComponent(notation.substr(0, end));
        notation.remove_prefix(std::min(end + 1, notation.size()));
    }
    if (format.count == 0) throw std::invalid_argument("no components");
    // Values are split by the lengths of the components before the last.
    for (std::size_t i = 0; i + 1 < format.count; ++i)
        if (format.components[i].optional || format.components[i].minLength != format.components[i].maxLength)
            throw std::invalid_argument("only the last component may vary in length");
    return format;
}
