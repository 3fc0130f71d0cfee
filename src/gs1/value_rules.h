// Whether a value satisfies its application identifier's format: length,
// characters, check digits, dates.
#pragma once

#include "application_identifiers.h"

#include <string>
#include <string_view>

// A short reason ("AI 01: wrong check digit") when the value breaks the
// rule, "" when it keeps it.
std::string valueProblem(const AiRule& rule, std::string_view value, int currentYear);
