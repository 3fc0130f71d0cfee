#include "gs1_fields.h"

#include "value_rules.h"

bool Gs1Fields::add(const AiRule& rule, std::string_view value) {
    if (failed()) return false;
    std::string problem = valueProblem(rule, value, currentYear_);
    if (!problem.empty()) return fail(std::move(problem));
    for (const auto& [ai, earlier] : fields_) {
        if (ai != rule.ai) continue;
        return earlier == value || fail("AI " + ai + " twice with different values");
    }
    fields_.emplace_back(rule.ai, value);
    return true;
}

bool Gs1Fields::add(std::string_view ai, std::string_view value) {
    const AiRule* rule = ApplicationIdentifiers::table().ruleOf(ai);
    return rule ? add(*rule, value) : fail("unknown AI " + std::string(ai));
}

bool Gs1Fields::fail(std::string reason) {
    if (!failed()) error_ = std::move(reason);
    fields_.clear();
    return false;
}

std::vector<std::pair<std::string, std::string>> Gs1Fields::takeFields() {
    if (failed()) return {};
    return std::move(fields_);
}
