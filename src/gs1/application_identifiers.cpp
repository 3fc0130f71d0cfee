#include "application_identifiers.h"

#include "check_digit.h"

#include <stdexcept>

namespace {

std::size_t numberOf(std::string_view digits) {
    std::size_t number = 0;
    for (const char c : digits) number = number * 10 + static_cast<std::size_t>(c - '0');
    return number;
}

std::vector<std::string> splitAt(std::string_view text, char separator) {
    std::vector<std::string> parts;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        if (end > 0) parts.emplace_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return parts;
}

std::vector<std::vector<std::string>> qualifierSequences(std::string_view text) {
    std::vector<std::vector<std::string>> sequences;
    for (const std::string& sequence : splitAt(text, '|')) sequences.push_back(splitAt(sequence, ' '));
    return sequences;
}

}  // namespace

const ApplicationIdentifiers& ApplicationIdentifiers::table() {
    static const ApplicationIdentifiers identifiers;
    return identifiers;
}

ApplicationIdentifiers::ApplicationIdentifiers() {
#define GS1_PREDEFINED_LENGTH(digits, length) predefinedLengths_[numberOf(digits)] = length;
#include "application_identifiers.def"
#define GS1_AI(first, last, format, title) addRange(first, last, format, title);
#include "application_identifiers.def"
#define GS1_LINK_KEY(ai, shortName, qualifiers) linkKeys_.push_back({ai, shortName, qualifierSequences(qualifiers)});
#define GS1_LINK_NAME(shortName, ai) shortNames_.emplace_back(shortName, ai);
#include "application_identifiers.def"
}

void ApplicationIdentifiers::addRange(std::string_view first, std::string_view last, std::string_view format,
                                      const char* title) {
    if (!allDigits(first) || first.size() != last.size() || first.size() < 2 || first.size() > 4)
        throw std::invalid_argument("a malformed AI range in the table");
    const AiFormat parsed = parseAiFormat(format);
    for (std::size_t number = numberOf(first); number <= numberOf(last); ++number) {
        std::string ai = std::to_string(number);
        ai.insert(0, first.size() - ai.size(), '0');
        const std::size_t predefined = predefinedLength(ai);
        rules_.push_back({ai, parsed, predefined ? predefined - ai.size() : 0, title});
        index(rules_.size() - 1);
    }
}

void ApplicationIdentifiers::index(std::size_t rule) {
    const std::string& ai = rules_[rule].ai;
    const auto entry = static_cast<std::uint16_t>(rule + 1);
    if (ai.size() == 2) twoDigits_[numberOf(ai)] = entry;
    if (ai.size() == 3) threeDigits_[numberOf(ai)] = entry;
    if (ai.size() == 4) fourDigits_[numberOf(ai)] = entry;
}

const AiRule* ApplicationIdentifiers::atStartOf(std::string_view data) const {
    // GS1 keeps the AIs prefix-free: at most one length matches.
    if (data.size() < 2 || !allDigits(data.substr(0, 2))) return nullptr;
    if (const auto two = twoDigits_[numberOf(data.substr(0, 2))]) return &rules_[two - 1];
    if (data.size() < 3 || !allDigits(data.substr(2, 1))) return nullptr;
    if (const auto three = threeDigits_[numberOf(data.substr(0, 3))]) return &rules_[three - 1];
    if (data.size() < 4 || !allDigits(data.substr(3, 1))) return nullptr;
    if (const auto four = fourDigits_[numberOf(data.substr(0, 4))]) return &rules_[four - 1];
    return nullptr;
}

const AiRule* ApplicationIdentifiers::ruleOf(std::string_view ai) const {
    const AiRule* rule = atStartOf(ai);
    return rule && rule->ai.size() == ai.size() ? rule : nullptr;
}

std::string_view ApplicationIdentifiers::aiOfShortName(std::string_view name) const {
    for (const auto& [shortName, ai] : shortNames_)
        if (shortName == name) return ai;
    for (const LinkKey& key : linkKeys_)
        if (key.shortName == name) return key.ai;
    return {};
}

const LinkKey* ApplicationIdentifiers::linkKey(std::string_view aiOrShortName) const {
    for (const LinkKey& key : linkKeys_)
        if (key.ai == aiOrShortName || key.shortName == aiOrShortName) return &key;
    return nullptr;
}

std::size_t ApplicationIdentifiers::predefinedLength(std::string_view firstTwoDigits) const {
    if (firstTwoDigits.size() < 2 || !allDigits(firstTwoDigits.substr(0, 2))) return 0;
    return predefinedLengths_[numberOf(firstTwoDigits.substr(0, 2))];
}
