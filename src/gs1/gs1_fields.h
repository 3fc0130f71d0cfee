// The GS1 data read from one scan, checked as it is added: every value by
// its AI's rule, and no AI twice with different values (GS1 forbids it;
// the same value twice is kept once).
#pragma once

#include "application_identifiers.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class Gs1Fields {
public:
    explicit Gs1Fields(int currentYear) : currentYear_(currentYear) {}

    // Adds the value of this AI; false, with the reason kept, when it is
    // not valid (after the first problem every add fails).
    bool add(const AiRule& rule, std::string_view value);
    // Adds the value of the AI so numbered, which must be in the table.
    bool add(std::string_view ai, std::string_view value);
    // Records why the data is not valid GS1; always false.
    bool fail(std::string reason);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // The fields, or nothing once the data has failed.
    std::vector<std::pair<std::string, std::string>> takeFields();

private:
    int currentYear_;
    std::vector<std::pair<std::string, std::string>> fields_;
    std::string error_;
};
