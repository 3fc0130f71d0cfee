#include "value_rules.h"

#include "check_digit.h"
#include "gs1_dates.h"

#include <array>

namespace {

// GS1's character set 82: what an alphanumeric value may hold.
constexpr std::array<bool, 128> set82() {
    std::array<bool, 128> allowed{};
    for (const char c : std::string_view("!\"%&'()*+,-./:;<=>?_")) allowed[static_cast<unsigned char>(c)] = true;
    for (char c = '0'; c <= '9'; ++c) allowed[static_cast<unsigned char>(c)] = true;
    for (char c = 'A'; c <= 'Z'; ++c) allowed[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c) allowed[static_cast<unsigned char>(c)] = true;
    return allowed;
}
constexpr std::array<bool, 128> kSet82 = set82();

bool charactersFit(CharacterSet characters, std::string_view part) {
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        const bool fits = characters == CharacterSet::Digits ? (c >= '0' && c <= '9') : byte < 128 && kSet82[byte];
        if (!fits) return false;
    }
    return true;
}

bool isPieceOfTotal(std::string_view digits) {
    const int piece = (digits[0] - '0') * 10 + (digits[1] - '0');
    const int total = (digits[2] - '0') * 10 + (digits[3] - '0');
    return piece >= 1 && total >= 1 && piece <= total;
}

// What the component's check says of a part whose characters and length fit.
const char* checkProblem(ComponentCheck check, std::string_view part, int currentYear) {
    switch (check) {
    case ComponentCheck::None: return nullptr;
    case ComponentCheck::CheckDigit: return hasValidCheckDigit(part) ? nullptr : "wrong check digit";
    case ComponentCheck::Date: return isValidDate(part, false, currentYear) ? nullptr : "not a valid date";
    case ComponentCheck::DateDayMayBeZero: return isValidDate(part, true, currentYear) ? nullptr : "not a valid date";
    case ComponentCheck::TimeOfDay: return isValidTimeOfDay(part) ? nullptr : "not a valid time";
    case ComponentCheck::Zero: return part == "0" ? nullptr : "must start with 0";
    case ComponentCheck::PieceOfTotal: return isPieceOfTotal(part) ? nullptr : "not a piece of its total";
    }
    return nullptr;
}

const char* componentProblem(const FormatComponent& component, std::string_view part, int currentYear) {
    if (part.size() < component.minLength) return "too short";
    if (part.size() > component.maxLength) return "too long";
    if (!charactersFit(component.characters, part))
        return component.characters == CharacterSet::Digits ? "digits only" : "a character outside GS1's set";
    return checkProblem(component.check, part, currentYear);
}

const char* formatProblem(const AiFormat& format, std::string_view value, int currentYear) {
    if (value.size() > format.maxLength()) return "too long";
    for (std::size_t i = 0; i < format.count; ++i) {
        const FormatComponent& component = format.components[i];
        const bool last = i + 1 == format.count;
        if (last && value.empty() && component.optional) return nullptr;
        const std::string_view part = last ? value : value.substr(0, component.maxLength);
        if (const char* problem = componentProblem(component, part, currentYear)) return problem;
        value.remove_prefix(part.size());
    }
    return nullptr;
}

}  // namespace

std::string valueProblem(const AiRule& rule, std::string_view value, int currentYear) {
    const char* problem = formatProblem(rule.format, value, currentYear);
    return problem ? "AI " + rule.ai + ": " + problem : std::string();
}
