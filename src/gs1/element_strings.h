// GS1 element strings as a scanner sends them: AIs and values back to back,
// GS (0x1D, the symbol's FNC1) after a value whose length the AI does not
// predefine, unless it is the last.
#pragma once

#include "gs1_fields.h"

#include <string_view>

constexpr char kGroupSeparator = '\x1d';

void readElementStrings(std::string_view data, Gs1Fields& fields);
