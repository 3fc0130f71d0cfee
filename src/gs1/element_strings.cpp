#include "element_strings.h"

#include <string>

namespace {

// The AI's digits at the start of data, for a message (never other bytes).
std::string leadingDigits(std::string_view data) {
    std::string digits;
    while (digits.size() < 4 && digits.size() < data.size() && data[digits.size()] >= '0' &&
           data[digits.size()] <= '9')
        digits += data[digits.size()];
    return digits;
}

std::string unknownAiAt(std::string_view data) {
    const std::string digits = leadingDigits(data);
    return digits.size() < 2 ? "no AI where one should start" : "unknown AI " + digits;
}

// Reads one element string at the start of data; returns how much of it
// was used, separator included, or 0 when the data failed.
std::size_t readOne(std::string_view data, Gs1Fields& fields) {
    const AiRule* rule = ApplicationIdentifiers::table().atStartOf(data);
    if (!rule) {
        fields.fail(unknownAiAt(data));
        return 0;
    }
    std::size_t at = rule->ai.size();
    std::size_t length = rule->predefinedValueLength;
    if (length == 0) length = std::min(data.find(kGroupSeparator, at), data.size()) - at;
    // A predefined length cut short is reported as such by the value's rule.
    length = std::min(length, data.size() - at);
    if (!fields.add(*rule, data.substr(at, length))) return 0;
    at += length;
    // A GS after a predefined length is not needed, but harmless.
    if (at < data.size() && data[at] == kGroupSeparator && ++at == data.size()) {
        fields.fail("a separator at the end");
        return 0;
    }
    return at;
}

}  // namespace

void readElementStrings(std::string_view data, Gs1Fields& fields) {
    // Some scanners send the symbol's leading FNC1 as GS as well.
    if (!data.empty() && data[0] == kGroupSeparator) data.remove_prefix(1);
    if (data.empty()) {
        fields.fail("no data");
        return;
    }
    while (!data.empty()) {
        const std::size_t used = readOne(data, fields);
        if (used == 0) return;
        data.remove_prefix(used);
    }
}
