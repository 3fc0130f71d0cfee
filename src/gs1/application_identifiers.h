// The table of GS1 application identifiers (application_identifiers.def),
// indexed for reading element strings.
#pragma once

#include "ai_format.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct AiRule {
    std::string ai;  // "01", "3103"
    AiFormat format;
    // The value's length when the AI is in the predefined-length table
    // (no GS after it), 0 otherwise.
    std::size_t predefinedValueLength = 0;
    const char* title = "";
};

// A Digital Link primary key and the qualifier sequences it may take.
struct LinkKey {
    std::string ai;
    std::string shortName;
    std::vector<std::vector<std::string>> qualifierSequences;
};

class ApplicationIdentifiers {
public:
    // The table, built once on first use.
    static const ApplicationIdentifiers& table();

    // The rule of the AI that starts `data`, if any.
    const AiRule* atStartOf(std::string_view data) const;
    // The rule of exactly this AI, if any.
    const AiRule* ruleOf(std::string_view ai) const;
    // The AI a Digital Link short name stands for ("lot": "10"), or "".
    std::string_view aiOfShortName(std::string_view name) const;
    const LinkKey* linkKey(std::string_view aiOrShortName) const;
    // The predefined table's length of AI and value for these two digits, 0
    // when they are not in it.
    std::size_t predefinedLength(std::string_view firstTwoDigits) const;

    const std::vector<AiRule>& rules() const { return rules_; }

private:
    ApplicationIdentifiers();
    void addRange(std::string_view first, std::string_view last, std::string_view format, const char* title);
    void index(std::size_t rule);

    std::vector<AiRule> rules_;
    std::vector<LinkKey> linkKeys_;
    std::vector<std::pair<std::string, std::string>> shortNames_;
    std::array<std::uint8_t, 100> predefinedLengths_{};
    // Rule numbers plus one by the AI's digits as a number, per AI length.
    std::array<std::uint16_t, 100> twoDigits_{};
    std::array<std::uint16_t, 1000> threeDigits_{};
    std::array<std::uint16_t, 10000> fourDigits_{};
};
